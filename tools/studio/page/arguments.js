// The arguments region: one labelled field per argument of the selected
// record, its widget chosen by the argument's kind from the opcode table:
// a layer is a choice of 0..4, an integer or a real a text field with a
// slider over the operation's useful range, a boolean a checkbox, a seed also
// a "New seed" button. Fields show what the server stored (reals with the
// exporter's digits); a typed value is committed with Enter or on leaving
// the field, and a slider drag is one undo step.
import { store, on, edit, drag, selectedRecord } from './store.js';

let dragSerial = 0;

export function mountArguments(root) {
  const heading = document.createElement('div');
  heading.className = 'region-head';
  const title = document.createElement('h2');
  title.textContent = 'Arguments';
  heading.append(title);
  const summary = document.createElement('p');
  summary.className = 'summary muted';
  const form = document.createElement('form');
  form.className = 'fields';
  form.addEventListener('submit', (event) => event.preventDefault());
  const warnings = document.createElement('ul');
  warnings.className = 'warnings';
  root.append(heading, summary, form, warnings);

  let builtFor = '';
  let fields = [];

  function build(record, operation) {
    const { layer, index } = store.selection;
    form.replaceChildren();
    fields = operation.arguments.map((argument, k) => {
      const id = `argument-${k}`;
      const row = document.createElement('div');
      row.className = `field kind-${argument.kind}`;
      const label = document.createElement('label');
      label.htmlFor = id;
      label.textContent = argument.name;
      const set = (value) => edit('set', { layer, index, argument: k, value: String(value) });
      const field = { argument, update: () => {} };

      if (argument.kind === 'layer') {
        const select = document.createElement('select');
        select.id = id;
        for (let l = 0; l < 5; l++) select.add(new Option(String(l), String(l)));
        select.addEventListener('change', () => set(select.value));
        row.append(label, select);
        field.update = (text) => {
          // A stored index outside 0..4 shows as itself.
          if (![...select.options].some((option) => option.value === text)) select.add(new Option(text, text));
          select.value = text;
        };
      } else if (argument.kind === 'boolean') {
        const box = document.createElement('input');
        box.type = 'checkbox';
        box.id = id;
        box.addEventListener('change', () => set(box.checked ? 'true' : 'false'));
        row.append(box, label);
        field.update = (text) => { box.checked = text === 'true'; };
      } else {
        const input = document.createElement('input');
        input.type = 'text';
        input.id = id;
        input.inputMode = argument.kind === 'integer' ? 'numeric' : 'decimal';
        input.spellcheck = false;
        input.autocomplete = 'off';
        const slider = document.createElement('input');
        slider.type = 'range';
        slider.min = argument.low;
        slider.max = argument.high;
        slider.step = argument.kind === 'integer' ? 1 : (argument.high - argument.low) / 1000;
        slider.setAttribute('aria-label', `${argument.name} slider`);
        let shown = '';
        let sent = '';  // committed, not yet answered
        let dragKey = '';
        let sliding = false;
        const commit = () => {
          const value = input.value.trim();
          if (value === shown || value === sent) return;
          sent = value;
          set(value).then((doc) => {
            // Refused: show what is stored again.
            if (!doc) {
              sent = '';
              input.value = shown;
            }
          });
        };
        input.addEventListener('keydown', (event) => {
          if (event.key === 'Enter') {
            event.preventDefault();
            commit();
          } else if (event.key === 'Escape') {
            input.value = shown;
          } else if (event.key === 'ArrowUp' || event.key === 'ArrowDown') {
            // Nudges like a slider step, from the stored value.
            event.preventDefault();
            const step = Number(slider.step) * (event.shiftKey ? 10 : 1) * (event.key === 'ArrowUp' ? 1 : -1);
            const value = Number(shown) + step;
            const text = argument.kind === 'integer' ? String(Math.round(value)) : String(Number(value.toPrecision(7)));
            input.value = text;
            set(text);
          }
        });
        input.addEventListener('change', commit);
        slider.addEventListener('pointerdown', () => { sliding = true; });
        slider.addEventListener('input', () => {
          if (!dragKey) dragKey = `drag-${++dragSerial}`;
          input.value = slider.value;
          drag({ layer, index, argument: k, value: slider.value, drag: dragKey });
        });
        slider.addEventListener('change', () => {
          sliding = false;
          dragKey = '';
        });
        const line = document.createElement('div');
        line.className = 'number-line';
        line.append(input);
        if (argument.seed) {
          const seed = document.createElement('button');
          seed.type = 'button';
          seed.textContent = 'New seed';
          seed.addEventListener('click', () => edit('newSeed', { layer, index, argument: k }));
          line.append(seed);
        }
        row.append(label, line, slider);
        field.update = (text) => {
          // After a commit the field shows what was stored, focused or not.
          if (document.activeElement !== input || sent) input.value = text;
          shown = text;
          input.dataset.shown = text;
          sent = '';
          if (!sliding) slider.value = Number(text);
        };
      }
      form.append(row);
      return field;
    });
  }

  const update = () => {
    const record = selectedRecord();
    const operation = record && store.byOpcode.get(record.opcode);
    const { layer, index } = store.selection;
    warnings.replaceChildren(...(record ? record.warnings : []).map((warning) => {
      const item = document.createElement('li');
      item.textContent = warning;
      return item;
    }));
    if (!record || !operation) {
      builtFor = '';
      form.replaceChildren();
      title.textContent = 'Arguments';
      summary.textContent = record
        ? `Opcode ${record.opcode} is unassigned: the engine skips this record. Delete it, or leave it as it is.`
        : 'Select a record to edit its arguments.';
      return;
    }
    title.textContent = operation.name;
    summary.textContent = operation.summary;
    const key = `${layer}:${index}:${record.opcode}`;
    if (key !== builtFor) {
      build(record, operation);
      builtFor = key;
    }
    fields.forEach((field, k) => field.update(record.arguments[k]));
  };
  on('selection', update);
}
