// A standard WebSocket client (Node's ws) against a unit's server: connects
// with the protocol "chat", gives the password, prints the first two status
// frames and closes. Usage: node ws_client.js PORT [PASSWORD]
// (NODE_PATH=/usr/share/nodejs for Debian's node-ws).
const WebSocket = require('ws');

const port = process.argv[2];
const password = process.argv[3] || 'velocirapido';
const ws = new WebSocket(`ws://127.0.0.1:${port}/chat`, ['chat']);
let got = 0;
const timer = setTimeout(() => {
  console.log('timeout');
  process.exit(1);
}, 30000);
ws.on('open', () => {
  console.log('protocol ' + ws.protocol);
  ws.send(password);
});
ws.on('message', (data, isBinary) => {
  const b = Buffer.from(data);
  if (!isBinary || b.subarray(0, 2).toString() !== 'ST' || got >= 2) return;
  console.log('ST ' + b.subarray(2).toString('latin1'));
  if (++got === 2) ws.close(1000);
});
ws.on('close', () => {
  clearTimeout(timer);
  process.exit(got >= 2 ? 0 : 1);
});
ws.on('error', (e) => {
  console.log('error ' + e.message);
  process.exit(1);
});
