// The program region: the selected layer's records in replay order, each as
// its call with a Bypass checkbox, with what the engine will skip or change
// marked and records whose result a later generator overwrites noted; and
// the buttons that add, duplicate, delete, move, copy, cut, paste and clear.
// Records are dragged to reorder them; Shift+click or Shift+arrows select a
// run of them; Copy and Cut put them on the clipboard as listing lines, and
// listing lines pasted from anywhere are inserted after the selection.
import { store, on, emit, edit, select, records, selectedRange, status } from './store.js';
import { button, element, copyText } from './dom.js';

const typing = () => document.activeElement?.matches('input[type="text"], input[type="search"], textarea');

// The selected records as listing lines, one per record.
function selectedLines() {
  const range = selectedRange();
  if (!range) return '';
  return records().slice(range[0], range[1] + 1).map((record) => record.source).join('\n') + '\n';
}

export async function pasteListing(text) {
  const { layer } = store.selection;
  const range = selectedRange();
  const at = range ? range[1] + 1 : records(layer).length;
  const before = records(layer).length;
  const doc = await edit('paste', { layer, index: at, listing: text });
  if (!doc) return;
  const added = doc.layers[layer].records.length - before;
  select(layer, at);
  select(layer, at + added - 1, true);
  status(`Pasted ${added} record${added === 1 ? '' : 's'} into layer ${layer}'s program.`);
}

async function copySelection(cut) {
  const lines = selectedLines();
  if (!lines) return;
  await copyText(lines);
  if (cut) await cutSelection();
  else status(`Copied ${lines.trim().split('\n').length} record(s) as listing lines.`);
}

async function cutSelection() {
  const range = selectedRange();
  const { layer } = store.selection;
  const count = range[1] - range[0] + 1;
  const doc = await edit('delete', { layer, index: range[0], count });
  if (doc) {
    select(layer, Math.min(range[0], doc.layers[layer].records.length - 1));
    status(`Cut ${count} record${count === 1 ? '' : 's'}: Paste puts them back anywhere.`);
  }
}

export function mountProgram(root) {
  const heading = element('div', { className: 'region-head' });
  const title = element('h2', { id: 'program-title' });
  const note = element('span', { className: 'muted' });
  heading.append(title, note);

  const list = element('ol', { className: 'records', tabIndex: 0 });
  list.setAttribute('role', 'listbox');
  list.setAttribute('aria-labelledby', 'program-title');
  list.setAttribute('aria-multiselectable', 'true');

  const empty = element('p', { className: 'empty muted' });

  const add = button('Add operation', () => emit('palette'), 'primary');
  const duplicate = button('Duplicate record', () => withSelection((layer, index) =>
    edit('duplicate', { layer, index }).then((doc) => doc && select(layer, index + 1))));
  const remove = button('Delete record', () => deleteSelection());
  const up = button('Move up', () => move(-1));
  const down = button('Move down', () => move(1));
  const copy = button('Copy', () => copySelection(false));
  const cut = button('Cut', () => copySelection(true));
  const paste = button('Paste', async () => {
    try {
      await pasteListing(await navigator.clipboard.readText());
    } catch {
      status('The browser does not let the page read the clipboard: press Ctrl+V instead.', 'error');
    }
  });
  const clear = button('Clear layer', async () => {
    const { layer } = store.selection;
    const doc = await edit('clear', { layer });
    if (doc) status(`Cleared layer ${layer}'s program: Undo brings it back.`);
  });
  copy.title = 'Copy the selected records as listing lines (Ctrl+C)';
  cut.title = 'Cut the selected records (Ctrl+X)';
  paste.title = 'Insert listing lines from the clipboard after the selection (Ctrl+V)';
  clear.title = 'Remove every record of this layer (one undo step)';
  const buttons = element('div', { className: 'record-buttons' }, add, duplicate, remove, up, down);
  const clipboard = element('div', { className: 'record-buttons small' }, copy, cut, paste, clear);

  root.append(heading, empty, list, buttons, clipboard);

  function withSelection(action) {
    const { layer, index } = store.selection;
    if (index >= 0) action(layer, index);
  }

  function deleteSelection() {
    const range = selectedRange();
    if (!range) return;
    const { layer } = store.selection;
    edit('delete', { layer, index: range[0], count: range[1] - range[0] + 1 })
      .then((doc) => doc && select(layer, Math.min(range[0], doc.layers[layer].records.length - 1)));
  }

  function move(step) {
    withSelection((layer, index) => moveTo(layer, index, index + step));
  }

  function moveTo(layer, index, to) {
    if (to < 0 || to >= records(layer).length || to === index) return;
    edit('move', { layer, index, to }).then((doc) => doc && select(layer, to));
  }

  function toggleBypass(layer, index) {
    const record = records(layer)[index];
    if (record) edit('bypass', { layer, index, bypassed: !record.bypassed });
  }

  list.addEventListener('keydown', (event) => {
    const { layer, index } = store.selection;
    const count = records(layer).length;
    if (event.altKey && (event.key === 'ArrowUp' || event.key === 'ArrowDown')) {
      event.preventDefault();
      move(event.key === 'ArrowUp' ? -1 : 1);
      return;
    }
    const target = { ArrowUp: index - 1, ArrowDown: index + 1, Home: 0, End: count - 1 }[event.key];
    if (target !== undefined) {
      event.preventDefault();
      if (count) select(layer, Math.max(0, Math.min(count - 1, target)), event.shiftKey);
    } else if (event.key === 'Delete' && index >= 0) {
      event.preventDefault();
      deleteSelection();
    } else if (event.key.toLowerCase() === 'b' && !event.ctrlKey && !event.metaKey && !event.altKey && index >= 0) {
      event.preventDefault();
      toggleBypass(layer, index);
    }
  });

  // The clipboard keys work wherever no text field takes them.
  const inProgram = () => !typing() && !document.querySelector('dialog[open]');
  document.addEventListener('copy', (event) => {
    if (!inProgram() || !selectedLines() || window.getSelection()?.toString()) return;
    event.preventDefault();
    event.clipboardData.setData('text/plain', selectedLines());
    status('Copied the selected records as listing lines.');
  });
  document.addEventListener('cut', (event) => {
    if (!inProgram() || !selectedLines() || window.getSelection()?.toString()) return;
    event.preventDefault();
    event.clipboardData.setData('text/plain', selectedLines());
    cutSelection();
  });
  document.addEventListener('paste', (event) => {
    if (!inProgram()) return;
    const text = event.clipboardData.getData('text/plain');
    if (!text.trim()) return;
    event.preventDefault();
    pasteListing(text);
  });

  // Dragging a record onto another puts it in that one's place.
  let dragged = -1;
  list.addEventListener('dragstart', (event) => {
    const item = event.target.closest('.record');
    if (!item) return;
    dragged = [...list.children].indexOf(item);
    event.dataTransfer.effectAllowed = 'move';
    event.dataTransfer.setData('text/plain', records()[dragged]?.source || '');
    item.classList.add('dragging');
  });
  list.addEventListener('dragover', (event) => {
    const item = event.target.closest('.record');
    if (dragged < 0 || !item) return;
    event.preventDefault();
    for (const other of list.children) other.classList.toggle('drop-target', other === item);
  });
  const endDrag = () => {
    for (const item of list.children) item.classList.remove('drop-target', 'dragging');
  };
  list.addEventListener('dragend', () => {
    endDrag();
    dragged = -1;
  });
  list.addEventListener('drop', (event) => {
    const item = event.target.closest('.record');
    if (dragged < 0 || !item) return;
    event.preventDefault();
    const to = [...list.children].indexOf(item);
    endDrag();
    moveTo(store.selection.layer, dragged, to);
    dragged = -1;
  });

  function makeItem(i) {
    const item = element('li', { id: `record-${i}`, draggable: true });
    item.setAttribute('role', 'option');
    const number = element('span', { className: 'record-number', textContent: i });
    const bypass = element('input', { type: 'checkbox', className: 'bypass', title: 'Bypass: switch this record off (B)' });
    bypass.setAttribute('aria-label', 'Bypass');
    bypass.addEventListener('click', (event) => event.stopPropagation());
    bypass.addEventListener('change', () => {
      edit('bypass', { layer: store.selection.layer, index: i, bypassed: bypass.checked });
    });
    item.append(number, element('code'), bypass);
    item.addEventListener('click', (event) => {
      select(store.selection.layer, i, event.shiftKey);
      list.focus();
    });
    return item;
  }

  function notes(item, texts, className) {
    const marks = [...item.querySelectorAll(`.${className}`)];
    if (marks.map((mark) => mark.textContent).join('\n') === texts.join('\n')) return;
    marks.forEach((mark) => mark.remove());
    for (const text of texts) item.append(element('span', { className, textContent: text }));
  }

  const update = () => {
    const { layer, index } = store.selection;
    const program = store.doc.layers[layer];
    const range = selectedRange() || [-1, -1];
    title.textContent = `Layer ${layer} program`;
    note.textContent = `${program.records.length} / 100`;
    // Items are kept and only their text changes, so that a drag's edits
    // cost little and the list does not jump.
    while (list.children.length > program.records.length) list.lastChild.remove();
    program.records.forEach((record, i) => {
      const item = list.children[i] || list.appendChild(makeItem(i));
      item.setAttribute('aria-selected', String(i >= range[0] && i <= range[1]));
      item.classList.toggle('current', i === index);
      item.className = 'record' + (record.warnings.length ? ' warned' : '') + (record.bypassed ? ' bypassed' : '') +
        (record.replaced ? ' replaced' : '') + (i === index ? ' current' : '');
      const source = item.querySelector('code');
      if (source.textContent !== record.display) {
        source.textContent = record.display;
        source.title = record.display;
      }
      item.querySelector('.bypass').checked = !!record.bypassed;
      notes(item, record.warnings, 'record-warning');
      notes(item, record.replaced ? [record.replaced] : [], 'record-note');
    });
    if (program.warning) {
      empty.textContent = `Warning: ${program.warning}.`;
    } else {
      empty.textContent = program.records.length ? '' : 'No records yet: add an operation, paste listing lines, or start from an example.';
    }
    empty.hidden = !empty.textContent;
    if (index >= 0) {
      list.setAttribute('aria-activedescendant', `record-${index}`);
      list.children[index]?.scrollIntoView({ block: 'nearest' });
    } else {
      list.removeAttribute('aria-activedescendant');
    }
    const selected = index >= 0;
    duplicate.disabled = remove.disabled = copy.disabled = cut.disabled = !selected;
    up.disabled = !selected || index === 0;
    down.disabled = !selected || index === program.records.length - 1;
    add.disabled = paste.disabled = program.records.length >= 100;
    clear.disabled = !program.records.length;
  };
  on('selection', update);
}
