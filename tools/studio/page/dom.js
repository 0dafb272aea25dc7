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
