// A Foxglove WebSocket client (@foxglove/ws-protocol) for the live bridge's tests and
// benchmark. It subscribes to every advertised channel and prints JSON: the advertised
// channels and, per topic, the messages received (data in base64, the log time and the
// receive wall clock in ns), until every channel has --per messages or --seconds pass.
//
// With --last, it keeps each channel's last N messages instead and runs until --seconds
// pass, or (with --quiet S) until no message has come for S seconds once a line arrived on
// stdin (the caller's word that the robot stopped): a bridge that lags behind its robot has
// then sent all it had. A line holding a log time in ns also waits until every channel but
// the actions has a message that recent: a bridge starved of the CPU may pause longer than
// S while it still owes samples.
//
//   node live_client.mjs ws://127.0.0.1:PORT [--per N] [--seconds S] [--expect N] [--last]
//                        [--quiet S] [--no-data]
import pkg from "@foxglove/ws-protocol";
import WebSocket from "ws";

const { FoxgloveClient } = pkg;
const args = process.argv.slice(2);
const url = args[0];
const option = (name, fallback) => {
  const i = args.indexOf(name);
  return i >= 0 ? Number(args[i + 1]) : fallback;
};
const per = option("--per", 3);
const seconds = option("--seconds", 20);
const expect = option("--expect", 1); // channels to wait for before "every channel" counts
const last = args.includes("--last");
const noData = args.includes("--no-data"); // times only (the benchmark)
const quiet = option("--quiet", 0);
let lastMessage = 0;

const channels = new Map();
const subscriptions = new Map();
const received = {};
let finished = false;

// The sdk's server speaks the protocol under the subprotocol foxglove.sdk.v1.
const ws = new WebSocket(url, ["foxglove.sdk.v1"]);
const client = new FoxgloveClient({ ws });

function finish(status, error) {
  if (finished) return;
  finished = true;
  const out = {
    channels: [...channels.values()].map((c) => ({
      topic: c.topic,
      encoding: c.encoding,
      schemaName: c.schemaName,
      schemaEncoding: c.schemaEncoding,
    })),
    messages: received,
  };
  if (error) out.error = error;
  process.stdout.write(JSON.stringify(out) + "\n", () => process.exit(status));
  try {
    client.close();
  } catch {
    // already closed
  }
}

client.on("error", (e) => finish(1, String(e && e.message ? e.message : e)));
client.on("close", () => finish(channels.size ? 0 : 1, "connection closed"));
client.on("advertise", (list) => {
  for (const c of list) {
    if (channels.has(c.id)) continue;
    channels.set(c.id, c);
    received[c.topic] = [];
    subscriptions.set(client.subscribe(c.id), c);
  }
});
client.on("message", ({ subscriptionId, timestamp, data }) => {
  const wall = BigInt(Math.round((performance.timeOrigin + performance.now()) * 1e6));
  const channel = subscriptions.get(subscriptionId);
  if (!channel) return;
  const list = received[channel.topic];
  const entry = {
    logTime: timestamp.toString(),
    wallNs: wall.toString(),
    data: noData ? "" : Buffer.from(data.buffer, data.byteOffset, data.byteLength).toString("base64"),
  };
  lastMessage = Date.now();
  if (last) {
    list.push(entry);
    if (list.length > per) list.shift();
    return;
  }
  if (list.length < per) list.push(entry);
  if (channels.size >= expect && Object.values(received).every((l) => l.length >= per)) {
    finish(0);
  }
});

setTimeout(() => finish(channels.size ? 0 : 1, "time is up"), seconds * 1000);
if (quiet > 0) {
  let armed = false;
  let until = 0n;
  process.stdin.on("data", (line) => {
    armed = true;
    const word = String(line).trim();
    if (/^[0-9]+$/.test(word)) until = BigInt(word);
  });
  const caughtUp = () =>
    Object.entries(received).every(
      ([topic, list]) =>
        topic.endsWith("/actions") || (list.length && BigInt(list[list.length - 1].logTime) >= until),
    );
  // After this process itself was starved of the CPU, timers run before the messages that
  // arrived meanwhile are handled: a late tick says nothing about the bridge being quiet.
  let lastTick = Date.now();
  setInterval(() => {
    const now = Date.now();
    if (now - lastTick > 300) lastMessage = Math.max(lastMessage, now);
    lastTick = now;
    if (armed && lastMessage && now - lastMessage > quiet * 1000 && caughtUp()) finish(0);
  }, 100);
}
