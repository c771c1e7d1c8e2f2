// The status page: the list of UPSes, the chosen one's figures, alarms, modules and
// cells, refreshed every few seconds from the JSON API, and a plot of one measure
// drawn as SVG from the stored readings. Text is set with textContent only.
'use strict';

const REFRESH_MS = 2000;
const PLOT_REFRESH_MS = 30000;
const PLOT_POINTS = 240;

// Shown units. Columns: unit id of the API, text shown after the value.
const UNITS = {
  volts: 'V', amperes: 'A', hertz: 'Hz', ratio: '', percent: '%', watts: 'W',
  volt_amperes: 'VA', seconds: 's', celsius: '°C', ohms: 'Ω', count: '', state: '', boolean: '',
};

// Rows of the per-phase table. Columns: label, measure id; phase-less measures span.
const PHASE_ROWS = [
  ['Input voltage', 'input_voltage'], ['Input current', 'input_current'],
  ['Input frequency', 'input_frequency'], ['Bypass voltage', 'bypass_voltage'],
  ['Bypass frequency', 'bypass_frequency'], ['Output voltage', 'output_voltage'],
  ['Output current', 'output_current'], ['Output frequency', 'output_frequency'],
  ['Output active power', 'output_active_power'], ['Output load', 'output_load'],
];

// The battery facts. Columns: label, measure name.
const BATTERY_FACTS = [
  ['Charge', 'battery_charge'], ['Backup time', 'battery_runtime'],
  ['Voltage +', 'battery_voltage{string="positive"}'],
  ['Voltage −', 'battery_voltage{string="negative"}'],
  ['Temperature', 'battery_temperature'],
  ['Discharge current +', 'battery_discharge_current{string="positive"}'],
  ['Charge current +', 'battery_charge_current{string="positive"}'],
];

// Columns of the power module table: heading, measure id, phase or bus ('' for none).
const MODULE_COLUMNS = [
  ['Inverter V A', 'module_inverter_voltage', 'a'], ['V B', 'module_inverter_voltage', 'b'],
  ['V C', 'module_inverter_voltage', 'c'], ['Current A', 'module_inverter_current', 'a'],
  ['I B', 'module_inverter_current', 'b'], ['I C', 'module_inverter_current', 'c'],
  ['Frequency', 'module_inverter_frequency', ''],
  ['Rectifier temp.', 'module_rectifier_temperature', ''],
  ['Inverter temp.', 'module_inverter_temperature', ''],
];

// Measures offered for the plot. Columns: label, measure name.
const PLOT_FIELDS = [
  ['Battery charge', 'battery_charge'], ['Backup time', 'battery_runtime'],
  ['Output load A', 'output_load{phase="a"}'], ['Input voltage A', 'input_voltage{phase="a"}'],
  ['Output voltage A', 'output_voltage{phase="a"}'],
  ['Battery voltage +', 'battery_voltage{string="positive"}'],
  ['Battery temperature', 'battery_temperature'],
];

// Plot ranges. Columns: label, seconds.
const RANGES = [['Hour', 3600], ['Day', 86400], ['Week', 604800]];

const page = { selected: null, field: PLOT_FIELDS[0][1], range: RANGES[0][1], live: [] };

function el(tag, attrs, ...children) {
  const node = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs || {})) node.setAttribute(k, v);
  for (const c of children) node.append(c instanceof Node ? c : String(c));
  return node;
}

function words(id) { return String(id).replace(/_/g, ' '); }

// A value and its unit; backup time in minutes, resistance in milliohms, as people read them.
function shown(m) {
  if (!m) return el('span', { class: 'value absent' }, '—');
  let value = m.value, unit = UNITS[m.unit] ?? m.unit;
  if (m.unit === 'seconds') { value = Math.round(m.value / 60); unit = 'min'; }
  if (m.unit === 'ohms') { value = +(m.value * 1000).toFixed(3); unit = 'mΩ'; }
  if (m.unit === 'state') value = words(m.value);
  return el('span', {}, el('span', { class: 'value', 'data-name': m.name }, value),
            unit ? el('span', { class: 'unit' }, ' ' + unit) : '');
}

function age(seconds) {
  if (seconds === null || seconds === undefined) return 'no round yet';
  if (seconds < 120) return seconds + ' s';
  if (seconds < 7200) return Math.round(seconds / 60) + ' min';
  return Math.round(seconds / 3600) + ' h';
}

function communication(d) {
  return d.communication === 'ok' ? el('span', {}, 'ok')
                                  : el('span', { class: 'lost' }, '⚠ LOST');
}

async function getJson(url) {
  const response = await fetch(url, { cache: 'no-store' });
  const body = await response.json().catch(() => ({}));
  if (!response.ok) throw Object.assign(new Error(body.error || response.statusText), { status: response.status });
  return body;
}

// Keeps `container`'s rows in the order of `items` ([key, text, build] each), building
// a row only for a new key or a changed text: with a thousand UPSes a refresh touches
// the few rows that changed instead of redrawing them all. `text` is what the row shows;
// `build` makes its cells. A cell with a data-live attribute (the age) is the
// exception: it changes every refresh and is set in place, `live` giving its text.
const keptRows = new WeakMap();
function keepRows(container, items) {
  const rows = keptRows.get(container) || new Map();
  keptRows.set(container, rows);
  const seen = new Set();
  items.forEach(([key, text, build, live], i) => {
    seen.add(key);
    let row = rows.get(key);
    if (!row || row.text !== text) {
      const node = build();
      if (row) row.node.replaceWith(node);
      row = { node, text };
      rows.set(key, row);
    }
    const liveCell = row.node.querySelector('[data-live]');
    if (liveCell && liveCell.textContent !== live) liveCell.textContent = live;
    if (container.children[i] !== row.node) container.insertBefore(row.node, container.children[i] || null);
  });
  for (const [key, row] of rows) {
    if (!seen.has(key)) { row.node.remove(); rows.delete(key); }
  }
}

function renderOverview(devices) {
  keepRows(document.getElementById('overview-rows'), devices.map((d) => {
    const alarms = d.active_alarms ? `${d.active_alarms} active (${d.critical_alarms} critical)` : 'none';
    const selected = d.name === page.selected;
    const text = JSON.stringify([selected, d.run_state, d.communication, d.battery_charge, alarms]);
    const build = () => el('tr', selected ? { class: 'selected' } : {},
      el('td', {}, el('a', { href: '#' + encodeURIComponent(d.name) }, d.name)),
      el('td', {}, d.run_state ? words(d.run_state) : '—'),
      el('td', {}, communication(d)), el('td', {}, d.battery_charge === null ? '—' : d.battery_charge + ' %'),
      el('td', {}, alarms), el('td', { 'data-live': '' }, age(d.age_seconds)));
    return [d.name, text, build, age(d.age_seconds)];
  }));
}

function byName(list) {
  const map = new Map();
  for (const m of list) map.set(m.name, m);
  return map;
}

function phaseTable(measures) {
  const head = el('tr', {}, el('th', {}, ''), el('th', {}, 'A'), el('th', {}, 'B'), el('th', {}, 'C'));
  const rows = PHASE_ROWS.map(([label, id]) => {
    const single = measures.get(id);
    if (single) return el('tr', {}, el('th', { scope: 'row' }, label), el('td', { colspan: 3 }, shown(single)));
    return el('tr', {}, el('th', { scope: 'row' }, label),
      ...['a', 'b', 'c'].map((p) => el('td', {}, shown(measures.get(`${id}{phase="${p}"}`)))));
  });
  return el('table', { class: 'phases' }, el('thead', {}, head), el('tbody', {}, ...rows));
}

function facts(list) {
  return el('dl', { class: 'facts' }, ...list.map(([label, node]) => el('div', {}, el('dt', {}, label), el('dd', {}, node))));
}

function alarmList(alarms) {
  if (!alarms.length) return el('p', { class: 'no-alarms' }, 'No active alarms.');
  return el('ul', { class: 'alarms', role: 'alert' }, ...alarms.map((a) =>
    el('li', { class: 'alarm ' + a.severity, 'data-alarm': a.id },
      el('strong', {}, a.severity.toUpperCase()), ` ${a.text} (${a.id})`)));
}

function moduleTable(modules) {
  const present = modules.filter((m) => m.present);
  const head = el('tr', {}, el('th', {}, 'Module'), ...MODULE_COLUMNS.map(([h]) => el('th', {}, h)));
  const rows = present.map((mod) => {
    const find = (id, label) => mod.measures.find((m) => m.id === id &&
      (!label || m.labels.phase === label || m.labels.bus === label));
    return el('tr', {}, el('th', { scope: 'row' }, '#' + mod.module),
      ...MODULE_COLUMNS.map(([, id, label]) => el('td', {}, shown(find(id, label)))));
  });
  return el('div', {}, el('p', {}, `${present.length} of ${modules.length} modules fitted.`),
    present.length ? el('table', { class: 'modules' }, el('thead', {}, head), el('tbody', {}, ...rows)) : '');
}

function cellGrid(cells) {
  return el('div', { class: 'cells' }, ...cells.map((c) => {
    if (!c.present) return el('div', { class: 'cell absent' }, el('b', {}, '#' + c.cell), 'absent');
    const get = (id) => c.measures.find((m) => m.id === id);
    return el('div', { class: 'cell' }, el('b', {}, '#' + c.cell), shown(get('cell_voltage')), el('br'),
      shown(get('cell_temperature')), el('br'), shown(get('cell_resistance')));
  }));
}

function renderDevice(d) {
  const measures = byName(d.measures);
  const summary = [
    ['Run state', shown(measures.get('run_state'))],
    ['Communication', communication(d)],
    ['Data age', el('span', {}, age(d.age_seconds))],
    ['Last round', el('span', {}, d.last_round || '—')],
    ['Rounds', el('span', {}, `${d.rounds.completed} done, ${d.rounds.failed} failed`)],
  ];
  document.getElementById('device').replaceChildren(
    el('h2', {}, `${d.name} (data id ${d.data_id})`), el('p', {}, d.line),
    facts(summary), d.last_error ? el('p', {}, 'Last error: ' + d.last_error) : '',
    el('h3', {}, 'Active alarms'), alarmList(d.alarms),
    el('h3', {}, 'Input, bypass and output'), phaseTable(measures),
    el('h3', {}, 'Battery'), facts(BATTERY_FACTS.map(([label, name]) => [label, shown(measures.get(name))])),
    el('h3', {}, 'Power modules'), moduleTable(d.modules),
    el('h3', {}, 'Battery cells'), cellGrid(d.cells));
  const field = measures.get(page.field);
  if (field) page.live.push({ t: Date.now() / 1000, v: Number(field.value) });
}

// The plot: the mean of each bucket as a line over the band from its minimum to its maximum.
function drawPlot(points, unit, caption) {
  const W = 640, H = 240, L = 56, R = 12, T = 12, B = 28;
  const svg = document.createElementNS('http://www.w3.org/2000/svg', 'svg');
  const add = (tag, attrs, text) => {
    const n = document.createElementNS('http://www.w3.org/2000/svg', tag);
    for (const [k, v] of Object.entries(attrs)) n.setAttribute(k, v);
    if (text !== undefined) n.textContent = text;
    svg.append(n);
  };
  svg.setAttribute('viewBox', `0 0 ${W} ${H}`);
  svg.setAttribute('class', 'plot');
  svg.setAttribute('role', 'img');
  svg.setAttribute('data-points', points.length);
  add('title', {}, caption);
  const now = Date.now() / 1000, t0 = now - page.range;
  let low = Math.min(...points.map((p) => p.min)), high = Math.max(...points.map((p) => p.max));
  if (!points.length) { low = 0; high = 1; }
  if (high === low) { high += 1; low -= 1; }
  const x = (t) => (L + (t - t0) / (now - t0) * (W - L - R)).toFixed(1);
  const y = (v) => (T + (high - v) / (high - low) * (H - T - B)).toFixed(1);
  add('line', { class: 'axis', x1: L, y1: T, x2: L, y2: H - B });
  add('line', { class: 'axis', x1: L, y1: H - B, x2: W - R, y2: H - B });
  add('text', { x: L - 4, y: T + 10, 'text-anchor': 'end' }, `${+high.toFixed(2)} ${unit}`);
  add('text', { x: L - 4, y: H - B, 'text-anchor': 'end' }, `${+low.toFixed(2)} ${unit}`);
  const clock = (t) => new Date(t * 1000).toLocaleString([], page.range > 86400
    ? { month: 'short', day: 'numeric', hour: '2-digit' } : { hour: '2-digit', minute: '2-digit' });
  add('text', { x: L, y: H - 8 }, clock(t0));
  add('text', { x: W - R, y: H - 8, 'text-anchor': 'end' }, clock(now));
  if (points.length) {
    const upper = points.map((p) => `${x(p.t)},${y(p.max)}`);
    const lower = points.map((p) => `${x(p.t)},${y(p.min)}`).reverse();
    add('polygon', { class: 'band', points: upper.concat(lower).join(' ') });
    add('polyline', { class: 'mean', points: points.map((p) => `${x(p.t)},${y(p.mean)}`).join(' ') });
  } else {
    add('text', { x: W / 2, y: H / 2, 'text-anchor': 'middle' }, 'no readings in this range');
  }
  document.getElementById('plot').replaceChildren(svg);
  document.getElementById('plot-caption').textContent = caption;
}

async function refreshPlot() {
  if (!page.selected) return;
  const label = PLOT_FIELDS.find(([, name]) => name === page.field)[0];
  const range = RANGES.find(([, s]) => s === page.range)[0].toLowerCase();
  const since = new Date(Date.now() - page.range * 1000).toISOString();
  const url = `api/v1/devices/${encodeURIComponent(page.selected)}/readings?fields=` +
    `${encodeURIComponent(page.field)}&since=${encodeURIComponent(since)}&points=${PLOT_POINTS}`;
  try {
    const body = await getJson(url);
    const series = body.series[0];
    const points = series.buckets.map((b) => ({
      t: (Date.parse(b.start) + Date.parse(b.end)) / 2000, min: b.min, mean: b.mean, max: b.max }));
    drawPlot(points, UNITS[series.unit] ?? '', `${label}, last ${range}: mean of each interval, band from its minimum to its maximum`);
  } catch (e) {
    // Without stored history the page plots what it has seen since it was opened.
    const points = page.live.filter((p) => p.t >= Date.now() / 1000 - page.range)
      .map((p) => ({ t: p.t, min: p.v, mean: p.v, max: p.v }));
    drawPlot(points, '', `${label}, since this page was opened (${e.message})`);
  }
}

function setupPlotForm() {
  const select = document.getElementById('plot-field');
  select.replaceChildren(...PLOT_FIELDS.map(([label, name]) => el('option', { value: name }, label)));
  select.addEventListener('change', () => { page.field = select.value; page.live = []; refreshPlot(); });
  const group = document.getElementById('plot-ranges');
  group.replaceChildren(...RANGES.map(([label, seconds]) => {
    const b = el('button', { type: 'button', 'aria-pressed': String(seconds === page.range) }, label);
    b.addEventListener('click', () => {
      page.range = seconds;
      for (const other of group.children) other.setAttribute('aria-pressed', String(other === b));
      refreshPlot();
    });
    return b;
  }));
}

async function refresh() {
  const status = document.getElementById('status');
  try {
    const list = (await getJson('api/v1/devices')).devices;
    const wanted = decodeURIComponent(location.hash.slice(1));
    const chosen = list.find((d) => d.name === wanted) || list[0];
    if (chosen && chosen.name !== page.selected) {
      page.selected = chosen.name;
      page.live = [];
      setTimeout(refreshPlot, 0);
    }
    renderOverview(list);
    document.getElementById('history').hidden = !chosen;
    if (chosen) {
      try {
        renderDevice(await getJson(`api/v1/devices/${encodeURIComponent(chosen.name)}`));
      } catch (e) {
        document.getElementById('device').replaceChildren(el('h2', {}, chosen.name), el('p', {}, e.message));
      }
    }
    status.textContent = `${list.length} UPS${list.length === 1 ? '' : 'es'}, updated ${new Date().toLocaleTimeString()}`;
  } catch (e) {
    status.textContent = `Refresh failed: ${e.message}; retrying`;
  }
  clearTimeout(page.timer);
  page.timer = setTimeout(refresh, REFRESH_MS);
}

setupPlotForm();
window.addEventListener('hashchange', () => { clearTimeout(page.timer); refresh(); });
setInterval(refreshPlot, PLOT_REFRESH_MS);
refresh();
