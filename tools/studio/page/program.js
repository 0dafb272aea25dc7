// The program region: the selected layer's records in replay order, each as
// its source line, with what the engine will skip or change marked; and the
// buttons that add, duplicate, delete and move records.
import { store, on, emit, edit, select, records } from './store.js';
import { button } from './dom.js';

export function mountProgram(root) {
  const heading = document.createElement('div');
  heading.className = 'region-head';
  const title = document.createElement('h2');
  title.id = 'program-title';
  const note = document.createElement('span');
  note.className = 'muted';
  heading.append(title, note);

  const list = document.createElement('ol');
  list.className = 'records';
  list.setAttribute('role', 'listbox');
  list.setAttribute('aria-labelledby', 'program-title');
  list.tabIndex = 0;

  const empty = document.createElement('p');
  empty.className = 'empty muted';

  const add = button('Add operation', () => emit('palette'), 'primary');
  const duplicate = button('Duplicate record', () => withSelection((layer, index) =>
    edit('duplicate', { layer, index }).then((doc) => doc && select(layer, index + 1))));
  const remove = button('Delete record', () => withSelection((layer, index) => edit('delete', { layer, index })));
  const up = button('Move up', () => move(-1));
  const down = button('Move down', () => move(1));
  const buttons = document.createElement('div');
  buttons.className = 'record-buttons';
  buttons.append(add, duplicate, remove, up, down);

  root.append(heading, empty, list, buttons);

  function withSelection(action) {
    const { layer, index } = store.selection;
    if (index >= 0) action(layer, index);
  }

  function move(step) {
    withSelection((layer, index) => {
      const to = index + step;
      if (to < 0 || to >= records(layer).length) return;
      edit('move', { layer, index, to }).then((doc) => doc && select(layer, to));
    });
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
      if (count) select(layer, Math.max(0, Math.min(count - 1, target)));
    } else if (event.key === 'Delete' && index >= 0) {
      event.preventDefault();
      edit('delete', { layer, index });
    }
  });

  const update = () => {
    const { layer, index } = store.selection;
    const program = store.doc.layers[layer];
    title.textContent = `Layer ${layer} program`;
    note.textContent = `${program.records.length} / 100`;
    // Items are kept and only their text changes, so that a drag's edits
    // cost little and the list does not jump.
    while (list.children.length > program.records.length) list.lastChild.remove();
    program.records.forEach((record, i) => {
      let item = list.children[i];
      if (!item) {
        item = document.createElement('li');
        item.id = `record-${i}`;
        item.setAttribute('role', 'option');
        const number = document.createElement('span');
        number.className = 'record-number';
        number.textContent = i;
        item.append(number, document.createElement('code'));
        item.addEventListener('click', () => {
          select(store.selection.layer, i);
          list.focus();
        });
        list.append(item);
      }
      item.setAttribute('aria-selected', String(i === index));
      item.className = 'record' + (record.warnings.length ? ' warned' : '');
      const source = item.querySelector('code');
      if (source.textContent !== record.source) {
        source.textContent = record.source;
        source.title = record.source;
      }
      const marks = [...item.querySelectorAll('.record-warning')];
      if (marks.map((mark) => mark.textContent).join('\n') !== record.warnings.join('\n')) {
        marks.forEach((mark) => mark.remove());
        for (const warning of record.warnings) {
          const mark = document.createElement('span');
          mark.className = 'record-warning';
          mark.textContent = warning;
          item.append(mark);
        }
      }
    });
    if (program.warning) {
      empty.textContent = `Warning: ${program.warning}.`;
    } else {
      empty.textContent = program.records.length ? '' : 'No records yet: add an operation to draw into this layer.';
    }
    empty.hidden = !empty.textContent;
    if (index >= 0) {
      list.setAttribute('aria-activedescendant', `record-${index}`);
      list.children[index]?.scrollIntoView({ block: 'nearest' });
    } else {
      list.removeAttribute('aria-activedescendant');
    }
    const selected = index >= 0;
    duplicate.disabled = remove.disabled = !selected;
    up.disabled = !selected || index === 0;
    down.disabled = !selected || index === program.records.length - 1;
    add.disabled = program.records.length >= 100;
  };
  on('selection', update);
}
