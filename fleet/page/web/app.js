// The fleet page. Everything that came from the network reaches the document only as text
// (textContent, option text, data attributes), never as markup.
'use strict';

const PAGE_SIZE = 50;
const state = {
  summary: null, apOffset: 0, query: '', stationOffset: 0,
  chartAp: '', range: 3600, charts: {}, chartLoaded: 0, stationsPending: false,
};

function el(tag, text, className) {
  const e = document.createElement(tag);
  if (text !== undefined && text !== null) e.textContent = String(text);
  if (className) e.className = className;
  return e;
}

function span(s) {
  if (s < 60) return s + ' s';
  if (s < 3600) return Math.floor(s / 60) + ' min';
  return Math.floor(s / 3600) + ' h';
}

function age(now, t) {
  if (t === null || t === undefined) return 'never';
  return span(Math.max(0, now - t)) + ' ago';
}

// An access point whose clock is off (its scans are placed when they arrived), with how far.
function clockNote(ap) {
  if (!ap.clock_off) return null;
  const note = el('span', 'clock ' + span(Math.abs(ap.clock_offset)) +
    (ap.clock_offset < 0 ? ' behind' : ' ahead'), 'clock-off');
  note.title = 'its clock is off: its scans are placed when they arrived';
  return note;
}

async function getJson(path) {
  const r = await fetch(path, {credentials: 'same-origin', cache: 'no-store'});
  if (!r.ok) throw new Error(path + ': HTTP ' + r.status);
  return r.json();
}

function pager(container, offset, total, onPick) {
  container.replaceChildren();
  if (total <= PAGE_SIZE) return;
  const prev = el('button', '‹ previous');
  prev.type = 'button';
  prev.disabled = offset === 0;
  prev.addEventListener('click', () => onPick(Math.max(0, offset - PAGE_SIZE)));
  const next = el('button', 'next ›');
  next.type = 'button';
  next.disabled = offset + PAGE_SIZE >= total;
  next.addEventListener('click', () => onPick(offset + PAGE_SIZE));
  const pages = Math.ceil(total / PAGE_SIZE);
  container.append(prev, el('span', 'page ' + (Math.floor(offset / PAGE_SIZE) + 1) + ' of ' + pages), next);
}

function renderAccessPoints() {
  const s = state.summary;
  const aps = s.access_points;
  const online = aps.filter(a => a.online).length;
  document.getElementById('overview').textContent =
    aps.length + ' access points (' + online + ' online), ' + s.station_count + ' stations';
  if (state.apOffset >= aps.length) state.apOffset = 0;
  const body = document.querySelector('#access-points tbody');
  const rows = aps.slice(state.apOffset, state.apOffset + PAGE_SIZE).map(ap => {
    const tr = el('tr', null, 'ap');
    tr.dataset.ap = ap.id;
    if (ap.id === state.chartAp) tr.classList.add('picked');
    const status = el('td', ap.online ? 'online' : 'offline', ap.online ? 'online' : 'offline');
    const note = clockNote(ap);
    if (note) status.append(note);
    tr.append(el('td', ap.id, 'ap-id'), status,
      el('td', age(s.time, ap.last_scan)), el('td', ap.stations),
      el('td', ap.crowd === null ? '–' : ap.people == null ? ap.crowd : ap.people + ' (' + ap.crowd + ' devices)'), el('td', ap.lost_documents));
    tr.addEventListener('click', () => pickChartAp(ap.id));
    return tr;
  });
  body.replaceChildren(...rows);
  pager(document.getElementById('ap-pager'), state.apOffset, aps.length, o => { state.apOffset = o; renderAccessPoints(); });

  const select = document.getElementById('chart-ap');
  const ids = aps.map(a => a.id);
  const known = Array.from(select.options).slice(1).map(o => o.value);
  if (ids.join('\n') !== known.join('\n')) {
    const options = ids.map(id => { const o = el('option', id); o.value = id; return o; });
    select.replaceChildren(select.options[0], ...options);
    select.value = state.chartAp;
  }
}

function signals(st) {
  return st.heard_by.map(h => h.ap + ' ' + h.rssi).join(', ');
}

async function loadStations() {
  if (state.stationsPending) return;
  state.stationsPending = true;
  try {
    const q = encodeURIComponent(state.query);
    const page = await getJson('/api/stations?q=' + q + '&offset=' + state.stationOffset + '&limit=' + PAGE_SIZE);
    if (page.total > 0 && state.stationOffset >= page.total) {
      state.stationOffset = 0;
      state.stationsPending = false;
      return loadStations();
    }
    const body = document.querySelector('#stations tbody');
    body.replaceChildren(...page.stations.map(st => {
      const tr = el('tr', null, 'station');
      tr.dataset.address = st.address;
      tr.addEventListener('click', () => showStation(st.address).catch(report));
      tr.append(el('td', st.address + (st.form === 'hashed' ? ' (hashed)' : ''), 'address'),
        el('td', st.maker === null ? '' : st.maker), el('td', st.strongest),
        el('td', signals(st), 'signals'), el('td', age(page.time, st.last_seen)));
      return tr;
    }));
    document.getElementById('station-count').textContent =
      page.total + (state.query ? ' matching' : '') + ' stations';
    pager(document.getElementById('station-pager'), state.stationOffset, page.total,
      o => { state.stationOffset = o; loadStations(); });
  } finally {
    state.stationsPending = false;
  }
}

function clock(t) {
  return new Date(t * 1000).toLocaleString();
}

// A station's day from the history: first and last seen, its strongest access point per hour.
async function showStation(address) {
  const box = document.getElementById('station-history');
  const to = Math.floor(Date.now() / 1000);
  const h = await getJson('/api/station?address=' + encodeURIComponent(address) + '&from=' + (to - 86400) + '&to=' + to);
  box.replaceChildren(el('h3', address));
  if (h.first_seen === null) {
    box.append(el('p', 'not in the history yet (it is written every few seconds)'));
    return;
  }
  box.append(el('p', 'first seen ' + clock(h.first_seen) + ', last seen ' + clock(h.last_seen)));
  const list = el('ul');
  for (const hour of h.hours) {
    list.append(el('li', new Date(hour.hour * 1000).toLocaleTimeString([], {hour: '2-digit', minute: '2-digit'}) +
      ': strongest at ' + hour.strongest + ' (' + hour.rssi + ' dBm)'));
  }
  box.append(list);
}

function chartData(points, first) {
  // Each series is [least, mean, most] per minute; a minute without a value is a gap.
  return points.map(p => [new Date(p[0] * 1000),
    first === 1 ? [p[1], p[3], p[2]] : (p[4] === null ? [null, null, null] : [p[4], p[6], p[5]])]);
}

// One chart: a series of [least, mean, most] bars, or (with `series`, their labels) plain
// series drawn together; over `span` ([from, to] dates) when given, else over the data.
function drawChart(id, label, data, series, span) {
  const labels = series || [label];
  const options = {
    labels: ['time', ...labels], customBars: !series, legend: 'always', ylabel: label,
    includeZero: true, connectSeparatedPoints: false, drawPoints: data.length < 120,
    axes: {x: {axisLabelWidth: 70}},
    colors: series ? ['#17324d', '#c77700'] : [id === 'chart-stations' ? '#17324d' : '#c77700'],
    drawCallback: g => { document.getElementById(id).dataset.points = String(g.numRows()); },
  };
  if (span) options.dateWindow = span;
  const empty = [[new Date(), ...labels.map(() => (series ? null : [null, null, null]))]];
  const rows = data.length ? data : empty;
  if (state.charts[id]) state.charts[id].updateOptions(Object.assign({file: rows}, options));
  else state.charts[id] = new Dygraph(document.getElementById(id), rows, options);
}

// Visitors and passersby per hour over the last day (when the collector sorts visits).
async function loadVisits(to, ap) {
  const v = await getJson('/api/visits?step=hour&from=' + (to - 86400) + '&to=' + to + ap);
  const box = document.getElementById('visits');
  box.hidden = !v.enabled;
  if (!v.enabled) return;
  drawChart('chart-visits', 'Visits per hour', v.rows.map(r => [new Date(r[0] * 1000), r[3], r[4]]),
    ['visitors', 'passersby'], [new Date((to - 86400) * 1000), new Date(to * 1000)]);
  const sum = k => v.rows.reduce((n, r) => n + r[k], 0);
  document.getElementById('visits-note').textContent = v.rows.length
    ? 'last day: ' + sum(3) + ' visitors (' + sum(5) + ' new, ' + sum(6) + ' returning), ' +
      sum(4) + ' passersby; dwell ' + sum(7) + ' under 5 min, ' + sum(8) + ' 5 to 15, ' + sum(9) +
      ' 15 to 60, ' + sum(10) + ' over 60'
    : 'no visits in the last day yet';
}

async function loadCharts() {
  state.chartLoaded = Date.now();
  const to = Math.floor(Date.now() / 1000);
  const ap = state.chartAp ? '&ap=' + encodeURIComponent(state.chartAp) : '';
  const h = await getJson('/api/history?from=' + (to - state.range) + '&to=' + to + ap);
  drawChart('chart-stations', 'Stations', chartData(h.points, 1));
  drawChart('chart-crowd', 'Crowd estimate', chartData(h.points, 2));
  document.getElementById('chart-note').textContent = h.points.length
    ? 'least, mean and most per minute; ' + h.points.length + ' minutes'
    : 'no history in this range yet';
  await loadVisits(to, ap);
}

function pickChartAp(id) {
  state.chartAp = id;
  document.getElementById('chart-ap').value = id;
  document.getElementById('chart-subject').textContent = id ? id : 'the site';
  if (state.summary) renderAccessPoints();
  loadCharts().catch(report);
}

function report(e) {
  document.getElementById('feed').textContent = 'error: ' + e.message;
  document.getElementById('feed').classList.remove('live');
}

function onSummary(summary) {
  state.summary = summary;
  renderAccessPoints();
  loadStations().catch(report);
  if (Date.now() - state.chartLoaded > 15000) loadCharts().catch(report);
}

// A change event: the access points new or changed since the event before, the ids gone.
function onChange(change) {
  if (!state.summary) return;
  const byId = new Map(state.summary.access_points.map(a => [a.id, a]));
  change.gone.forEach(id => byId.delete(id));
  change.access_points.forEach(a => byId.set(a.id, a));
  const aps = Array.from(byId.values()).sort((a, b) => (a.id < b.id ? -1 : a.id > b.id ? 1 : 0));
  onSummary({time: change.time, access_points: aps, station_count: change.station_count,
             history: change.history});
}

function connect() {
  const feed = document.getElementById('feed');
  const source = new EventSource('/api/events');
  for (const [name, apply] of [['view', onSummary], ['change', onChange]]) {
    source.addEventListener(name, ev => {
      state.fed = true;
      feed.textContent = 'live';
      feed.classList.add('live');
      apply(JSON.parse(ev.data));
    });
  }
  source.addEventListener('open', () => { feed.textContent = 'live'; feed.classList.add('live'); });
  source.addEventListener('error', () => { feed.textContent = 'reconnecting'; feed.classList.remove('live'); });
}

function start() {
  document.getElementById('chart-ap').addEventListener('change', ev => pickChartAp(ev.target.value));
  for (const [id, range] of [['range-hour', 3600], ['range-day', 86400]]) {
    document.getElementById(id).addEventListener('click', ev => {
      state.range = range;
      document.querySelectorAll('.controls button').forEach(b => b.classList.remove('picked'));
      ev.target.classList.add('picked');
      loadCharts().catch(report);
    });
  }
  let typing = null;
  document.getElementById('station-search').addEventListener('input', ev => {
    clearTimeout(typing);
    typing = setTimeout(() => { state.query = ev.target.value.trim(); state.stationOffset = 0; loadStations().catch(report); }, 200);
  });
  // The feed's own state wins over an answer that comes after it.
  getJson('/api/summary').then(s => { if (!state.fed) onSummary(s); }).catch(report);
  loadCharts().catch(report);
  setInterval(() => loadCharts().catch(report), 60000);
  connect();
}

document.addEventListener('DOMContentLoaded', start);
