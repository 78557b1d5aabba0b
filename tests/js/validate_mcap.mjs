// Reads an MCAP file with @mcap/core (an MCAP implementation independent of the recorder's)
// and prints what it found as JSON: per topic the schema, encodings and message count, the
// summary's statistics, and how many messages the indexed and the streamed read gave. Every
// chunk's CRC is checked on both reads, and every message of a JSON channel goes through
// JSON.parse, as a viewer reads it; a bad chunk or message ends the process with status 1.
//
//   node validate_mcap.mjs FILE.mcap
import { open, readFile } from "node:fs/promises";
import { McapIndexedReader, McapStreamReader } from "@mcap/core";
import zstd from "@foxglove/wasm-zstd";

function fail(text) {
  console.error(`validate_mcap: ${text}`);
  process.exit(1);
}

const path = process.argv[2];
if (!path) fail("usage: node validate_mcap.mjs FILE.mcap");
await zstd.isLoaded;
const decompressHandlers = {
  zstd: (buffer, size) => zstd.decompress(buffer, Number(size)),
};

async function indexed() {
  const handle = await open(path, "r");
  try {
    const readable = {
      size: async () => BigInt((await handle.stat()).size),
      read: async (offset, length) => {
        const out = new Uint8Array(Number(length));
        await handle.read(out, 0, Number(length), Number(offset));
        return out;
      },
    };
    const reader = await McapIndexedReader.Initialize({ readable, decompressHandlers });
    const topics = {};
    for (const channel of reader.channelsById.values()) {
      const schema = reader.schemasById.get(channel.schemaId);
      topics[channel.topic] = {
        messageEncoding: channel.messageEncoding,
        schemaName: schema ? schema.name : null,
        schemaEncoding: schema ? schema.encoding : null,
        count: 0,
      };
    }
    const byId = reader.channelsById;
    const text = new TextDecoder("utf-8", { fatal: true });
    let total = 0;
    for await (const message of reader.readMessages({ validateCrcs: true })) {
      const channel = byId.get(message.channelId);
      if (channel.messageEncoding === "json") {
        try {
          JSON.parse(text.decode(message.data));
        } catch (e) {
          fail(`${path}: message ${message.sequence} of ${channel.topic}: ${e.message}`);
        }
      }
      topics[channel.topic].count += 1;
      total += 1;
    }
    const stats = reader.statistics;
    return {
      topics,
      total,
      statistics: stats
        ? {
            messageCount: Number(stats.messageCount),
            channelMessageCounts: Object.fromEntries(
              [...stats.channelMessageCounts].map(([id, n]) => [byId.get(id).topic, Number(n)]),
            ),
          }
        : null,
      profile: reader.header.profile,
    };
  } finally {
    await handle.close();
  }
}

async function streamed() {
  // The whole file in order, with the stream reader's own record checks and chunk CRCs.
  const reader = new McapStreamReader({ decompressHandlers, validateCrcs: true });
  reader.append(await readFile(path));
  let messages = 0;
  let metadata = 0;
  let footer = false;
  for (let record; (record = reader.nextRecord()); ) {
    if (record.type === "Message") messages += 1;
    else if (record.type === "Metadata") metadata += 1;
    else if (record.type === "Footer") footer = true;
  }
  if (!reader.done()) fail(`${path}: the stream reader did not reach the end of the file`);
  return { messages, metadata, footer };
}

try {
  const result = await indexed();
  result.streamed = await streamed();
  console.log(JSON.stringify(result));
} catch (e) {
  fail(`${path}: ${e.message}`);
}
