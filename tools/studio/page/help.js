// The documentation of every operation, shown offline from the copy built
// into the studio: a small reader for the plain Markdown it is written in
// (headings, paragraphs, lists, tables, code, pictures, links). Each
// operation's heading gets the operation's name as its anchor, which the
// arguments region's "More" link points at.
const root = document.getElementById('help');

const escape = (text) => text.replace(/[&<>"]/g, (c) => ({ '&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;' })[c]);
const slug = (text) => text.toLowerCase().replace(/[^a-z0-9 -]/g, '').trim().replace(/ +/g, '-');

// Inline marks: code, pictures, links, bold, italics.
function inline(text) {
  const codes = [];
  let html = escape(text).replace(/`([^`]+)`/g, (_, code) => `\u0000${codes.push(code) - 1}\u0000`);
  html = html
    .replace(/!\[([^\]]*)\]\(examples\/([A-Za-z]+)\.png\)/g, '<img alt="$1" src="pictures/$2.png">')
    .replace(/\[([^\]]+)\]\((#[^)]+)\)/g, '<a href="$2">$1</a>')
    .replace(/\[([^\]]+)\]\(([^)]+)\)/g, '$1')  // files of the source tree are not served
    .replace(/\*\*([^*]+)\*\*/g, '<strong>$1</strong>')
    .replace(/(^|\W)_([^_]+)_(?=\W|$)/g, '$1<em>$2</em>');
  return html.replace(/\u0000(\d+)\u0000/g, (_, i) => `<code>${codes[Number(i)]}</code>`);
}

function render(markdown) {
  const lines = markdown.split('\n');
  const out = [];
  let paragraph = [];
  let list = null;
  const flush = () => {
    if (paragraph.length) out.push(`<p>${inline(paragraph.join(' '))}</p>`);
    paragraph = [];
    if (list) out.push(`<ul>${list.map((item) => `<li>${inline(item)}</li>`).join('')}</ul>`);
    list = null;
  };
  for (let i = 0; i < lines.length; i++) {
    const line = lines[i];
    const heading = /^(#{1,4}) (.*)$/.exec(line);
    if (line.startsWith('```')) {
      flush();
      const code = [];
      while (++i < lines.length && !lines[i].startsWith('```')) code.push(lines[i]);
      out.push(`<pre><code>${escape(code.join('\n'))}</code></pre>`);
    } else if (heading) {
      flush();
      const level = heading[1].length;
      // "perlinNoise · opcode 2" is anchored at perlinNoise.
      const name = /^([A-Za-z]+) · opcode/.exec(heading[2]);
      out.push(`<h${level} id="${name ? name[1] : slug(heading[2])}">${inline(heading[2])}</h${level}>`);
    } else if (line.startsWith('|')) {
      flush();
      const rows = [];
      for (; i < lines.length && lines[i].startsWith('|'); i++) rows.push(lines[i]);
      i--;
      const cells = (row) => row.slice(1, -1).split('|').map((cell) => cell.trim());
      const body = rows.slice(2).map((row) => `<tr>${cells(row).map((c) => `<td>${inline(c)}</td>`).join('')}</tr>`);
      out.push(`<table><thead><tr>${cells(rows[0]).map((c) => `<th>${inline(c)}</th>`).join('')}</tr></thead>` +
        `<tbody>${body.join('')}</tbody></table>`);
    } else if (/^- /.test(line)) {
      if (paragraph.length) flush();
      list = list || [];
      list.push(line.slice(2));
    } else if (list && /^ {2,}\S/.test(line)) {
      list[list.length - 1] += ' ' + line.trim();
    } else if (!line.trim()) {
      flush();
    } else {
      if (list) flush();
      paragraph.push(line.trim());
    }
  }
  flush();
  return out.join('\n');
}

async function show() {
  try {
    const response = await fetch('docs/operations.md');
    if (!response.ok) throw new Error();
    root.innerHTML = render(await response.text());
  } catch {
    root.textContent = 'The documentation could not be loaded: start texgen studio again and reload this page.';
    return;
  }
  const target = location.hash && document.getElementById(decodeURIComponent(location.hash.slice(1)));
  if (target) target.scrollIntoView();
}

show();
