// Small helpers for building the page's elements, shared by the regions.

export function element(tag, properties = {}, ...children) {
  const node = Object.assign(document.createElement(tag), properties);
  node.append(...children);
  return node;
}

export function button(label, onClick, className = '') {
  return element('button', { type: 'button', textContent: label, className, onclick: onClick });
}

// A button that stays pressed or not (aria-pressed).
export function toggle(label, pressed, onClick) {
  const node = button(label, onClick, 'toggle');
  node.setAttribute('aria-pressed', String(pressed));
  return node;
}

// Puts text on the system clipboard; where the page may not, through a
// selected text area.
export async function copyText(text) {
  try {
    await navigator.clipboard.writeText(text);
  } catch {
    const area = element('textarea', { value: text });
    document.body.append(area);
    area.select();
    document.execCommand('copy');
    area.remove();
  }
}
