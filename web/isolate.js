// Cross-origin isolation for the web studio on any static host: the service
// worker (sw.js) adds the two headers that make a page isolated to every
// answer of the site, and an isolated page's worker runs the session with
// threads. The first visit is served before the service worker exists, so
// once it takes control the page reloads, once per tab, and only while
// nothing can be lost: no link was opened (its fragment has left the address
// bar by then), no file opened, no edit made, no earlier session offered
// back. Otherwise the page stays single-threaded until its next load. A host
// that sends the headers itself isolates the first visit as well.
(() => {
  if (self.crossOriginIsolated || !('serviceWorker' in navigator)) return;
  const TRIED = 'texture-studio-isolation';
  try {
    if (sessionStorage.getItem(TRIED)) return;  // reloaded once already: no loop
  } catch {
    return;  // no session storage: no guard against a loop, so no reload
  }
  const linked = location.hash.length > 1;
  navigator.serviceWorker.addEventListener('controllerchange', () => {
    const doc = window.studio && window.studio.doc;
    // The untouched untitled document, or none yet, is all a reload may drop.
    if (linked || (doc && (doc.name !== 'untitled.tex' || doc.dirty || doc.canUndo || doc.recovery))) return;
    sessionStorage.setItem(TRIED, '1');
    location.reload();
  });
})();
