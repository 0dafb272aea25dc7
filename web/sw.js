// The web studio offline: on install every file of the site but the
// pictures of the operations and of the gallery is kept (those are kept as
// the page shows them); every request of the site is answered from what is kept first, and
// from the network only for what is not. A new build has a new version and
// replaces the old files at once.
const VERSION = '@VERSION@';
const FILES = @FILES@;

self.addEventListener('install', (event) => {
  event.waitUntil(caches.open(VERSION).then((cache) => cache.addAll(FILES)).then(() => self.skipWaiting()));
});

self.addEventListener('activate', (event) => {
  event.waitUntil(caches.keys()
    .then((names) => Promise.all(names.filter((name) => name !== VERSION).map((name) => caches.delete(name))))
    .then(() => self.clients.claim()));
});

self.addEventListener('fetch', (event) => {
  const { request } = event;
  if (request.method !== 'GET' || new URL(request.url).origin !== location.origin) return;
  event.respondWith(caches.open(VERSION).then(async (cache) => {
    const kept = await cache.match(request, { ignoreSearch: true });
    if (kept) return kept;
    const response = await fetch(request);
    if (response.ok && /\/(pictures|gallery|docs)\//.test(new URL(request.url).pathname)) cache.put(request, response.clone());
    return response;
  }));
});
