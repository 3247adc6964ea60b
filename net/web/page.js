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

// Each picture comes after its frame's JSON, so the outlines fit it.
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
