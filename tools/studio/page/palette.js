// The operation palette behind "Add operation": every operation grouped by
// family, each with its one-line summary and its picture, and a search box
// that finds operations by name or by what they do ("noise", "warp").
// Choosing one inserts it after the selected record (at the end when none
// is selected) with its example's arguments, and selects it. Records before
// it are kept: the studio inserts without the engine's rule that a
// generator empties the program.
import { store, on, edit, select, records } from './store.js';
import { dialog } from './files.js';

const FAMILIES = [
  ['generators', 'Generators'],
  ['combiners', 'Combiners'],
  ['colour', 'Colour'],
  ['filters', 'Filters'],
  ['distortions', 'Distortions'],
];

function entry(operation, choose) {
  const item = document.createElement('button');
  item.type = 'button';
  item.className = 'operation';
  item.setAttribute('aria-label', operation.name);
  const summaryId = `summary-${operation.opcode}`;
  item.setAttribute('aria-describedby', summaryId);
  const picture = document.createElement('img');
  picture.alt = '';
  picture.loading = 'lazy';
  if (operation.picture) picture.src = operation.picture;
  const name = document.createElement('strong');
  name.textContent = operation.name;
  const summary = document.createElement('span');
  summary.id = summaryId;
  summary.textContent = operation.summary;
  item.append(picture, name, summary);
  item.addEventListener('click', () => choose(operation));
  return item;
}

async function openPalette() {
  const { layer, index } = store.selection;
  const at = index >= 0 ? index + 1 : records(layer).length;
  const chosen = await dialog('Add operation', (close) => {
    const search = document.createElement('input');
    search.type = 'search';
    search.placeholder = 'Search operations';
    search.setAttribute('aria-label', 'Search operations');
    search.className = 'palette-search';
    const groups = document.createElement('div');
    groups.className = 'palette-groups';
    const items = [];
    for (const [family, title] of FAMILIES) {
      const members = store.operations.filter((operation) => operation.family === family);
      const group = document.createElement('section');
      group.setAttribute('aria-label', title);
      const heading = document.createElement('h3');
      heading.textContent = title;
      const grid = document.createElement('div');
      grid.className = 'palette-grid';
      for (const operation of members) {
        const item = entry(operation, close);
        items.push([item, operation, group]);
        grid.append(item);
      }
      group.append(heading, grid);
      groups.append(group);
    }
    const nothing = document.createElement('p');
    nothing.className = 'nothing muted';
    nothing.hidden = true;
    nothing.setAttribute('role', 'status');
    const visible = () => items.filter(([item]) => !item.hidden).map(([item]) => item);
    search.addEventListener('input', () => {
      const words = search.value.toLowerCase().split(/\s+/).filter(Boolean);
      for (const [item, operation] of items) {
        const text = `${operation.name} ${operation.summary} ${operation.family} ${operation.keywords || ''}`.toLowerCase();
        item.hidden = !words.every((word) => text.includes(word));
      }
      for (const group of groups.children) group.hidden = ![...group.querySelectorAll('.operation')].some((item) => !item.hidden);
      nothing.hidden = visible().length > 0;
      nothing.textContent = `No operation matches "${search.value.trim()}": try what it should do, such as noise, blur, warp or colour.`;
    });
    search.addEventListener('keydown', (event) => {
      const first = visible()[0];
      if (event.key === 'Enter' && first) {
        event.preventDefault();
        first.click();
      } else if (event.key === 'ArrowDown' && first) {
        event.preventDefault();
        first.focus();
      }
    });
    groups.addEventListener('keydown', (event) => {
      const shown = visible();
      const at = shown.indexOf(document.activeElement);
      const step = { ArrowDown: 1, ArrowRight: 1, ArrowUp: -1, ArrowLeft: -1 }[event.key];
      if (at < 0 || !step) return;
      event.preventDefault();
      if (at + step < 0) search.focus();
      else shown[Math.min(shown.length - 1, at + step)].focus();
    });
    setTimeout(() => search.focus(), 0);
    const where = document.createElement('p');
    where.className = 'muted';
    where.textContent = `Inserted into layer ${layer}'s program at position ${at}.`;
    return [search, where, nothing, groups];
  }, [['Cancel', null]]);
  if (!chosen) return;
  const doc = await edit('insert', { layer, index: at, opcode: chosen.opcode });
  if (doc) select(layer, at);
}

export function mountPalette() {
  on('palette', openPalette);
}
