// The arguments region: the selected record's operation with its
// description and a "More" link to its documentation, then one labelled
// field per argument, its widget chosen by the argument's kind from the
// opcode table: a layer is a choice of 0..4, an integer or a real a text
// field with a slider over the operation's useful range, a boolean a
// checkbox, a seed also a "New seed" button, and every red, green, blue
// group a colour well. Beside each field its unit and meaning, which are
// also its accessible description. Fields show what the server stored (the
// shortest decimal of the float32); a typed value is committed with Enter or
// on leaving the field; a refused one stays, marked invalid with the reason
// beside it, until a valid value or Escape. A slider or colour drag is one
// undo step.
import { store, on, edit, drag, selectedRecord } from './store.js';
import { element } from './dom.js';

let dragSerial = 0;
const newDragKey = () => `drag-${++dragSerial}`;

// Groups of red, green and blue arguments by their common suffix:
// red, green, blue -> "colour"; red1, green1, blue1 -> "colour1".
function colourGroups(operation) {
  const groups = new Map();
  operation.arguments.forEach((argument, k) => {
    const match = /^(red|green|blue)(\w*)$/.exec(argument.name);
    if (!match || argument.kind !== 'integer') return;
    if (!groups.has(match[2])) groups.set(match[2], {});
    groups.get(match[2])[match[1]] = k;
  });
  return [...groups].filter(([, g]) => g.red !== undefined && g.green !== undefined && g.blue !== undefined)
    .map(([suffix, g]) => ({ name: `colour${suffix}`, slots: [g.red, g.green, g.blue] }));
}

const hex = (values) => '#' + values.map((v) => Math.max(0, Math.min(255, Math.trunc(Number(v) || 0))).toString(16).padStart(2, '0')).join('');

export function mountArguments(root) {
  const heading = element('div', { className: 'region-head' });
  const title = element('h2');
  heading.append(title);
  const summary = element('p', { className: 'summary muted' });
  const summaryText = element('span');
  const more = element('a', { textContent: 'More', target: '_blank', rel: 'noopener', className: 'more' });
  summary.append(summaryText, ' ', more);
  const form = element('form', { className: 'fields' });
  form.addEventListener('submit', (event) => event.preventDefault());
  const warnings = element('ul', { className: 'warnings' });
  root.append(heading, summary, form, warnings);

  let builtFor = '';
  let fields = [];

  function build(record, operation) {
    const { layer, index } = store.selection;
    form.replaceChildren();
    const set = (k, value) => edit('set', { layer, index, argument: k, value: String(value) });
    const wells = new Map(colourGroups(operation).map((group) => [group.slots[0], group]));
    fields = [];
    operation.arguments.forEach((argument, k) => {
      if (wells.has(k)) fields.push(colourWell(wells.get(k), layer, index));
      const id = `argument-${k}`;
      const row = element('div', { className: `field kind-${argument.kind}` });
      const label = element('label', { htmlFor: id, textContent: argument.name });
      // The unit beside the name, what it does below: both describe the field.
      const help = element('span', { className: 'help muted', id: `${id}-unit`, textContent: argument.unit || '' });
      const meaning = element('p', { className: 'meaning muted', id: `${id}-meaning`, textContent: argument.meaning || '' });
      const error = element('p', { className: 'field-error', id: `${id}-error`, hidden: true });
      const describe = (node) => {
        const ids = [argument.unit ? help.id : '', argument.meaning ? meaning.id : '', error.hidden ? '' : error.id]
          .filter(Boolean).join(' ');
        if (ids) node.setAttribute('aria-describedby', ids);
        else node.removeAttribute('aria-describedby');
      };
      const field = { argument, update: () => {} };
      const head = element('div', { className: 'field-head' }, label, help);

      if (argument.kind === 'layer') {
        const select = element('select', { id });
        for (let l = 0; l < 5; l++) select.add(new Option(String(l), String(l)));
        select.addEventListener('change', () => set(k, select.value));
        describe(select);
        row.append(head, meaning, select);
        field.update = (text) => {
          // A stored index outside 0..4 shows as itself.
          if (![...select.options].some((option) => option.value === text)) select.add(new Option(text, text));
          select.value = text;
        };
      } else if (argument.kind === 'boolean') {
        const box = element('input', { type: 'checkbox', id });
        box.addEventListener('change', () => set(k, box.checked ? 'true' : 'false'));
        describe(box);
        row.append(element('div', { className: 'check-line' }, box, label, help), meaning);
        field.update = (text) => { box.checked = text === 'true'; };
      } else {
        const input = element('input', { type: 'text', id, spellcheck: false, autocomplete: 'off' });
        input.inputMode = argument.kind === 'integer' ? 'numeric' : 'decimal';
        const slider = element('input', {
          type: 'range', min: argument.low, max: argument.high,
          step: argument.kind === 'integer' ? 1 : (argument.high - argument.low) / 1000,
        });
        slider.setAttribute('aria-label', `${argument.name} slider`);
        let shown = '';
        let sent = '';  // committed, not yet answered
        let dragKey = '';
        let sliding = false;
        const invalid = (message) => {
          error.textContent = message || '';
          error.hidden = !message;
          if (message) input.setAttribute('aria-invalid', 'true');
          else input.removeAttribute('aria-invalid');
          row.classList.toggle('invalid', !!message);
          describe(input);
        };
        describe(input);
        const commit = () => {
          const value = input.value.trim();
          if (value === sent || (value === shown && !input.hasAttribute('aria-invalid'))) return;
          sent = value;
          set(k, value).then((doc) => {
            if (doc) {
              invalid('');
              return;
            }
            // Refused: the record keeps its value and the field what was typed,
            // marked invalid with the reason, or (another window's edit came
            // first) ready to be committed again on the current document.
            sent = '';
            const refusal = store.refusal;
            if (refusal && refusal.stale) input.value = value;  // the reload showed the stored one
            else if (refusal) invalid(refusal.message);
          });
        };
        input.addEventListener('keydown', (event) => {
          if (event.key === 'Enter') {
            event.preventDefault();
            commit();
          } else if (event.key === 'Escape') {
            input.value = shown;
            invalid('');
          } else if (event.key === 'ArrowUp' || event.key === 'ArrowDown') {
            // Nudges like a slider step, from the stored value.
            event.preventDefault();
            const step = Number(slider.step) * (event.shiftKey ? 10 : 1) * (event.key === 'ArrowUp' ? 1 : -1);
            const value = Number(shown) + step;
            const text = argument.kind === 'integer' ? String(Math.round(value)) : String(Number(value.toPrecision(7)));
            input.value = text;
            set(k, text);
          }
        });
        input.addEventListener('change', commit);
        slider.addEventListener('pointerdown', () => { sliding = true; });
        slider.addEventListener('input', () => {
          if (!dragKey) dragKey = newDragKey();
          input.value = slider.value;
          invalid('');
          drag({ layer, index, argument: k, value: slider.value, drag: dragKey });
        });
        slider.addEventListener('change', () => {
          sliding = false;
          dragKey = '';
        });
        const line = element('div', { className: 'number-line' }, input);
        if (argument.seed) {
          line.append(element('button', {
            type: 'button', textContent: 'New seed', onclick: () => edit('newSeed', { layer, index, argument: k }),
          }));
        }
        row.append(head, meaning, line, error, slider);
        field.update = (text) => {
          // After a commit the field shows what was stored, focused or not;
          // a refused value stays until it is mended or Escape.
          if (!input.hasAttribute('aria-invalid') && (document.activeElement !== input || sent)) input.value = text;
          shown = text;
          input.dataset.shown = text;
          sent = '';
          if (!sliding) slider.value = Number(text);
        };
      }
      form.append(row);
      fields.push(field);
    });
  }

  // A colour well for a red, green, blue group: picking sets all three in one step.
  function colourWell(group, layer, index) {
    const id = `well-${group.name}`;
    const row = element('div', { className: 'field kind-colour' });
    const well = element('input', { type: 'color', id });
    const label = element('label', { htmlFor: id, textContent: group.name });
    const code = element('span', { className: 'help muted' });
    row.append(element('div', { className: 'colour-line' }, well, label, code));
    let dragKey = '';
    const send = () => {
      if (!dragKey) dragKey = newDragKey();
      const v = well.value;
      const values = [1, 3, 5].map((at, i) => [group.slots[i], String(parseInt(v.slice(at, at + 2), 16))]);
      drag({ layer, index, values, drag: dragKey });
    };
    well.addEventListener('input', send);
    well.addEventListener('change', () => {
      send();
      dragKey = '';
    });
    form.append(row);
    return {
      update: (_, record) => {
        const value = hex(group.slots.map((k) => record.arguments[k]));
        if (document.activeElement !== well || !dragKey) well.value = value;
        code.textContent = value;
      },
    };
  }

  const update = () => {
    const record = selectedRecord();
    const operation = record && store.byOpcode.get(record.opcode);
    const { layer, index } = store.selection;
    warnings.replaceChildren(...(record ? record.warnings : []).map((warning) => element('li', { textContent: warning })));
    if (!record || !operation) {
      builtFor = '';
      form.replaceChildren();
      title.textContent = 'Arguments';
      more.hidden = true;
      summaryText.textContent = record
        ? `Opcode ${record.opcode} is unassigned: the engine skips this record. Delete it, or leave it as it is.`
        : 'Select a record to edit its arguments.';
      return;
    }
    title.textContent = operation.name;
    summaryText.textContent = operation.summary + '.';
    more.hidden = false;
    more.href = `/help.html#${operation.name}`;
    more.title = `${operation.name} in the documentation of every operation`;
    const key = `${layer}:${index}:${record.opcode}`;
    if (key !== builtFor) {
      build(record, operation);
      builtFor = key;
    }
    let k = 0;
    for (const field of fields) {
      if (field.argument) field.update(record.arguments[k++], record);
      else field.update(null, record);
    }
  };
  on('selection', update);
}
