// The web studio offline: on install every file of the site but the
// pictures of the operations and of the gallery and the session built with
// threads is kept (those are kept as the page first loads them); every
// request of the site is answered from what is kept first, and from the
// network only for what is not. A new build has a new version and
// replaces the old files at once.
//
// Every answer it gives carries the two headers that make the site's pages
// cross-origin isolated, where the session runs with threads (isolate.js
// reloads the first visit once to get them).
const VERSION = '@VERSION@';
const FILES = @FILES@;
const KEPT_ON_USE = /\/(pictures|gallery|docs)\/|\/studio_wasm_threads\./;

self.addEventListener('install', (event) => {
  event.waitUntil(caches.open(VERSION).then((cache) => cache.addAll(FILES)).then(() => self.skipWaiting()));
});

self.addEventListener('activate', (event) => {
  event.waitUntil(caches.keys()
    .then((names) => Promise.all(names.filter((name) => name !== VERSION).map((name) => caches.delete(name))))
    .then(() => self.clients.claim()));
});

function isolated(response) {
  if (response.type === 'opaqueredirect' || response.status === 0) return response;
  const headers = new Headers(response.headers);
  headers.set('Cross-Origin-Opener-Policy', 'same-origin');
  headers.set('Cross-Origin-Embedder-Policy', 'require-corp');
  return new Response(response.body, { status: response.status, statusText: response.statusText, headers });
}

self.addEventListener('fetch', (event) => {
  const { request } = event;
  if (request.method !== 'GET' || new URL(request.url).origin !== location.origin) return;
  event.respondWith(caches.open(VERSION).then(async (cache) => {
    const kept = await cache.match(request, { ignoreSearch: true });
    if (kept) return isolated(kept);
    const response = await fetch(request);
    if (response.ok && KEPT_ON_USE.test(new URL(request.url).pathname)) cache.put(request, response.clone());
    return isolated(response);
  }));
});
