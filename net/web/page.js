'use strict';
// The operator's page: read-only. Everything a pattern name reaches is set
// as text, never as markup.
const element = (id) => document.getElementById(id);
const feedUrl = (path) => (location.protocol === 'https:' ? 'wss://' : 'ws://') + location.host + path;
const fixed = (value, digits) => (value === null || value === undefined ? '–' : Number(value).toFixed(digits));
const degrees = (radians) => fixed(radians * 180 / Math.PI, 1);

function make(tag, text, className) {
  const node = document.createElement(tag);
  if (text !== undefined) node.textContent = text;
  if (className) node.className = className;
  return node;
}

// Angles about the camera's x, y and z axes from the column-major matrix.
function rotation(m) {
  if (!m || m.some((v) => v === null)) return '–';
  return [Math.atan2(m[6], m[10]), Math.asin(Math.max(-1, Math.min(1, -m[2]))), Math.atan2(m[1], m[0])]
    .map(degrees).join(', ');
}

function markerRow(marker) {
  const row = document.createElement('tr');
  const [x, y] = marker.pos2d;
  const [X, Y, Z] = marker.pos3d;
  const distance = [X, Y, Z].some((v) => v === null) ? null : Math.hypot(X, Y, Z);
  const cells = [marker.name, String(marker.id), fixed(marker.cf, 3), fixed(x, 1) + ', ' + fixed(y, 1),
    fixed(distance, 1), [X, Y, Z].map((v) => fixed(v, 1)).join(', '), rotation(marker.matrix)];
  for (const text of cells) row.appendChild(make('td', text));
  return row;
}

const triple = (values) => (values ? values.map((v) => fixed(v, 1)).join(', ') : '–');
const names = (list) => (list && list.length ? list.join(', ') : '–');

function bodyRow(body) {
  const row = document.createElement('tr');
  const cells = [body.name, triple(body.position), body.quaternion.map((v) => fixed(v, 4)).join(', '),
    names(body.members), names(body.rejected), fixed(body.rms, 2),
    body.world ? triple(body.world.position) + '; ' + body.world.quaternion.map((v) => fixed(v, 4)).join(', ') : '–'];
  cells.forEach((text, k) => row.appendChild(make('td', text, k === 6 ? 'world' : undefined)));
  return row;
}

// Bodies come only with a bodies file, and the camera's world pose only
// with a world frame: without them the page is as it always was.
function showBodies(frame) {
  const card = element('bodies');
  if (!frame.bodies) {
    card.hidden = true;
    document.querySelector('main').classList.remove('with-bodies');
    return;
  }
  card.hidden = false;
  document.querySelector('main').classList.add('with-bodies');
  const world = 'camera' in frame;
  card.classList.toggle('world', world);
  element('cameraWorld').hidden = !world;
  if (world) {
    element('cameraWorld').textContent = frame.camera
      ? 'Camera in the world: ' + triple(frame.camera.position) + ' mm, quaternion ' +
        frame.camera.quaternion.map((v) => fixed(v, 4)).join(', ')
      : 'Camera in the world: not known yet (the world body has not been seen)';
  }
  element('bodyCount').textContent = String(frame.bodies.length);
  element('bodyTable').tBodies[0].replaceChildren(...frame.bodies.map(bodyRow));
}

// The table follows the feed at most ten times a second. A frame is shown
// at once when the last was shown long enough ago, and only a frame that
// comes sooner waits for a timer: a page whose timers run late (a hidden
// tab, a headless browser taking its picture) still shows the latest frame.
const TABLE_INTERVAL_MS = 100;
let latestFrame = null;
let tableShownAt = -Infinity;
let tableTimer = null;
function showTable() {
  tableTimer = null;
  tableShownAt = performance.now();
  const frame = latestFrame;
  const time = new Date(frame.time * 1000).toLocaleTimeString([], { hour12: false });
  element('frame').textContent = 'Frame ' + frame.frame + ' at ' + time;
  element('count').textContent = String(frame.markers.length);
  element('markers').tBodies[0].replaceChildren(...frame.markers.map(markerRow));
  showBodies(frame);
}
function showFrame(frame) {
  latestFrame = frame;
  if (tableTimer !== null) return;
  const wait = tableShownAt + TABLE_INTERVAL_MS - performance.now();
  if (wait <= 0) showTable();
  else tableTimer = setTimeout(showTable, wait);
}

function connect(path, setUp) {
  const socket = new WebSocket(feedUrl(path));
  setUp(socket);
  socket.addEventListener('close', () => setTimeout(() => connect(path, setUp), 1000));
  return socket;
}

function followFeed(socket) {
  socket.addEventListener('open', () => { element('connection').textContent = 'live'; element('connection').className = 'on'; });
  socket.addEventListener('close', () => { element('connection').textContent = 'reconnecting'; element('connection').className = 'off'; });
  socket.addEventListener('message', (event) => showFrame(JSON.parse(event.data)));
}

function drawMarkers(context, frame) {
  context.lineWidth = Math.max(2, frame.width / 320);
  context.font = 'bold ' + Math.round(Math.max(14, frame.width / 28)) + 'px sans-serif';
  for (const marker of frame.markers) {
    if (marker.vertex.some(([x, y]) => x === null || y === null)) continue;
    context.strokeStyle = '#00e040';
    context.beginPath();
    marker.vertex.forEach(([x, y], k) => (k ? context.lineTo(x, y) : context.moveTo(x, y)));
    context.closePath();
    context.stroke();
    // The first corner, so the marker's turn shows.
    context.fillStyle = '#ff3030';
    context.fillRect(marker.vertex[0][0] - 3, marker.vertex[0][1] - 3, 6, 6);
    const label = marker.name + ' ' + fixed(marker.cf, 2);
    const [x, y] = marker.pos2d;
    const size = Math.round(Math.max(14, frame.width / 28));
    context.fillStyle = '#000a';
    context.fillRect(x - 2, y - size, context.measureText(label).width + 4, size + 4);
    context.fillStyle = '#ffff60';
    context.fillText(label, x, y);
  }
}

// Where a point of the camera frame (mm) is seen: the frame's projection,
// then its lens distortion (the picture is the raw frame). Null behind the
// camera.
function observedPixel(lens, point) {
  const P = lens.projection, [x0, y0, f, s] = lens.distortion;
  const h = P[8] * point[0] + P[9] * point[1] + P[10] * point[2] + P[11];
  if (!(point[2] > 0) || !(h > 0)) return null;
  const ix = (P[0] * point[0] + P[1] * point[1] + P[2] * point[2] + P[3]) / h;
  const iy = (P[4] * point[0] + P[5] * point[1] + P[6] * point[2] + P[7]) / h;
  const dx = (ix - x0) * s, dy = (iy - y0) * s;
  const d = 1 - (f / 1e8) * (dx * dx + dy * dy);
  return [x0 + dx * d, y0 + dy * d];
}

// Printed widths by pattern name, from the catalogue: a body's axes are as
// long as its widest member.
const widthOfPattern = new Map();
const AXIS_COLOURS = ['#ff2020', '#20d020', '#2060ff'];
// The axes last drawn, in canvas pixels: [{name, origin, ends: [X, Y, Z]}].
let drawnAxes = [];

function drawBodyAxes(context, frame) {
  drawnAxes = [];
  if (!frame.bodies || !frame.lens) return;
  context.lineWidth = Math.max(3, frame.width / 213);
  const dot = Math.max(4, frame.width / 160);
  for (const body of frame.bodies) {
    const m = body.matrix, t = body.position;
    const length = Math.max(20, ...body.members.map((name) => widthOfPattern.get(name) || 0));
    const origin = observedPixel(frame.lens, t);
    if (!origin || m.some((v) => v === null)) continue;
    const ends = [0, 1, 2].map((axis) => observedPixel(frame.lens,
      [0, 1, 2].map((r) => t[r] + length * m[4 * axis + r])));
    ends.forEach((end, axis) => {
      if (!end) return;
      context.strokeStyle = context.fillStyle = AXIS_COLOURS[axis];
      context.beginPath();
      context.moveTo(origin[0], origin[1]);
      context.lineTo(end[0], end[1]);
      context.stroke();
      context.beginPath();
      context.arc(end[0], end[1], dot, 0, 2 * Math.PI);
      context.fill();
    });
    drawnAxes.push({ name: body.name, origin, ends });
  }
}

// Each picture comes after its frame's JSON, so the outlines fit it.
let shownFrame = null;  // the frame whose picture the canvas shows
function followImage(socket) {
  socket.binaryType = 'blob';
  let frameOfImage = null;
  socket.addEventListener('message', async (event) => {
    if (typeof event.data === 'string') {
      frameOfImage = JSON.parse(event.data);
      return;
    }
    const frame = frameOfImage;
    const picture = await createImageBitmap(event.data);
    const canvas = element('view');
    const width = frame.width || picture.width, height = frame.height || picture.height;
    if (canvas.width !== width || canvas.height !== height) { canvas.width = width; canvas.height = height; }
    const context = canvas.getContext('2d');
    context.drawImage(picture, 0, 0, width, height);
    picture.close();
    drawMarkers(context, frame);
    drawBodyAxes(context, frame);
    shownFrame = frame;
  });
}

function duration(seconds) {
  const h = Math.floor(seconds / 3600), m = Math.floor(seconds / 60) % 60, s = Math.floor(seconds) % 60;
  return (h ? h + ' h ' : '') + (h || m ? m + ' min ' : '') + s + ' s';
}

async function showStatus() {
  try {
    const s = await (await fetch('/api/status', { cache: 'no-store' })).json();
    const rows = [
      ['Camera', s.camera + ' ' + s.width + 'x' + s.height],
      ['Frames a second', fixed(s.fps, 1)],
      ['Frames', String(s.frame)],
      ['TCP clients', String(s.tcpClients)],
      ['TUIO', s.tuio],
      ['MQTT', s.mqtt],
      ['Frames dropped for slow clients', String(s.droppedForSlowClients)],
      ['Page connections', String(s.webConnections)],
      ['Refused requests (another site)', String(s.refusedRequests)],
      ['Uptime', duration(s.uptime)],
    ];
    element('status').replaceChildren(...rows.flatMap(([name, value]) => [make('dt', name), make('dd', value)]));
    if (s.nodes) showNodes(s.nodes);
  } catch (problem) {
    element('status').replaceChildren(make('dt', 'State'), make('dd', 'not reachable'));
  }
}

// A fusion node's status lists its camera nodes; a camera's has none.
function showNodes(nodes) {
  element('nodes').hidden = false;
  element('nodecount').textContent = String(nodes.length);
  element('nodetable').tBodies[0].replaceChildren(...nodes.map((node) => {
    const row = document.createElement('tr');
    const cells = [node.name, node.lost ? 'lost' : 'live', String(node.frames), String(node.fused), String(node.late),
      String(node.refused), node.worldPose ? 'known' : 'not known'];
    for (const text of cells) row.appendChild(make('td', text));
    if (node.lost) row.className = 'lost';
    return row;
  }));
}

async function showCatalogue() {
  const entries = await (await fetch('/api/catalogue')).json();
  for (const entry of entries) widthOfPattern.set(entry.name, entry.width);
  element('patterns').replaceChildren(...entries.map((entry) => {
    const figure = make('figure', undefined, entry.inUse ? '' : 'unused');
    if (entry.thumbnail) {
      const picture = make('img');
      picture.src = entry.thumbnail;
      picture.alt = '';
      figure.appendChild(picture);
    } else {
      figure.appendChild(make('div', undefined, 'none'));
    }
    figure.appendChild(make('figcaption', entry.name + ' · ' + entry.width + ' mm' + (entry.inUse ? '' : ' · off')));
    return figure;
  }));
}

connect('/ws', followFeed);
connect('/ws/image', followImage);
showStatus();
setInterval(showStatus, 1000);
showCatalogue();
