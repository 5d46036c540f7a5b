// An OPC UA client (node-opcua's, written by others) driven by the gateway's
// tests: one JSON request a line on standard input, one JSON answer a line on
// standard output ({"id": N, "ok": ...} or {"id": N, "error": "..."}), and
// the notifications of its subscriptions as {"change": {...}} lines between.
//
//   {"op": "connect", "url", "policy": "None"|"Basic256Sha256"|..., "mode": "None"|"Sign"|"SignAndEncrypt",
//    "user", "password", "pki": folder of the client's own certificate}
//   {"op": "browse", "node"}            the whole tree below it: [{id, name, cls, ref}]
//   {"op": "read", "nodes": [...]}      [{value, status, source}]
//   {"op": "write", "node", "value", "type": "Boolean" (default)}  the status code's name
//   {"op": "call", "object", "method"}  {status, outputs}
//   {"op": "subscribe", "nodes", "publishing", "sampling", "queue"}
//   {"op": "endpoints"}                 [{policy, mode}]
//   {"op": "sessions", "count"}         that many more sessions on the connection: {made, errors}
//   {"op": "close"}
"use strict";
const readline = require("readline");
const path = require("path");
const {
  OPCUAClient, MessageSecurityMode, SecurityPolicy, AttributeIds, DataType, ClientSubscription,
  TimestampsToReturn, UserTokenType, BrowseDirection,
} = require("node-opcua-client");
const { OPCUACertificateManager } = require("node-opcua-certificate-manager");

let client = null, session = null;
const subscriptions = [];
const extra = [];  // the sessions of "sessions"

function out(obj) {
  process.stdout.write(JSON.stringify(obj) + "\n");
}

function plain(dv) {
  return {
    value: dv.value && dv.value.value !== undefined ? dv.value.value : null,
    status: dv.statusCode ? dv.statusCode.name : "Good",
    source: dv.sourceTimestamp ? dv.sourceTimestamp.toISOString() : null,
  };
}

async function connect(r) {
  const pki = r.pki || path.join(process.cwd(), "pki");
  const manager = new OPCUACertificateManager({ rootFolder: pki, automaticallyAcceptUnknownCertificate: true });
  await manager.initialize();
  client = OPCUAClient.create({
    applicationName: "krandolix-test-client",
    applicationUri: "urn:krandolix:test-client",
    securityMode: MessageSecurityMode[r.mode || "None"],
    securityPolicy: SecurityPolicy[r.policy || "None"],
    endpointMustExist: false,
    connectionStrategy: { maxRetry: 0, initialDelay: 100, maxDelay: 200 },
    clientCertificateManager: manager,
    requestedSessionTimeout: 60000,
    keepSessionAlive: true,
  });
  client.on("backoff", () => {});
  await client.connect(r.url);
  const identity = r.user ? { type: UserTokenType.UserName, userName: r.user, password: r.password }
                          : { type: UserTokenType.Anonymous };
  session = await client.createSession(identity);
  return true;
}

async function browse(r) {
  const found = [];
  const seen = new Set();
  async function walk(node, depth) {
    if (seen.has(node) || depth > 8) return;
    seen.add(node);
    const result = await session.browse({
      nodeId: node, browseDirection: BrowseDirection.Forward,
      referenceTypeId: "HierarchicalReferences", includeSubtypes: true, resultMask: 63,
    });
    for (const ref of result.references || []) {
      const id = ref.nodeId.toString();
      found.push({ id, name: ref.browseName.name, display: ref.displayName.text,
                   cls: ref.nodeClass, parent: node });
      await walk(id, depth + 1);
    }
  }
  await walk(r.node, 0);
  return found;
}

async function handle(r) {
  switch (r.op) {
    case "connect": return connect(r);
    case "endpoints": {
      const c = OPCUAClient.create({ endpointMustExist: false, connectionStrategy: { maxRetry: 0 } });
      await c.connect(r.url);
      const eps = await c.getEndpoints();
      await c.disconnect();
      return eps.map((e) => ({ policy: e.securityPolicyUri.split("#")[1],
                               mode: MessageSecurityMode[e.securityMode],
                               certificate: e.serverCertificate
                                 ? require("crypto").createHash("sha1").update(e.serverCertificate).digest("hex") : null,
                               tokens: (e.userIdentityTokens || []).map((t) => UserTokenType[t.tokenType]) }));
    }
    case "browse": return browse(r);
    case "read": {
      const dvs = await session.read(r.nodes.map((n) => ({ nodeId: n, attributeId: AttributeIds.Value })));
      return dvs.map(plain);
    }
    case "write": {
      const status = await session.write({
        nodeId: r.node, attributeId: AttributeIds.Value,
        value: { value: { dataType: DataType[r.type || "Boolean"], value: r.value } },
      });
      return status.name;
    }
    case "call": {
      const result = await session.call({ objectId: r.object, methodId: r.method, inputArguments: [] });
      return { status: result.statusCode.name,
               outputs: (result.outputArguments || []).map((v) => v.value) };
    }
    case "subscribe": {
      const sub = ClientSubscription.create(session, {
        requestedPublishingInterval: r.publishing || 100, requestedMaxKeepAliveCount: 10,
        requestedLifetimeCount: 100, maxNotificationsPerPublish: 0, publishingEnabled: true, priority: 1,
      });
      subscriptions.push(sub);
      await new Promise((ok) => sub.on("started", ok));
      for (const n of r.nodes) {
        const item = await sub.monitor({ nodeId: n, attributeId: AttributeIds.Value },
                                       { samplingInterval: r.sampling === undefined ? 0 : r.sampling,
                                         queueSize: r.queue || 100, discardOldest: true },
                                       TimestampsToReturn.Both);
        item.on("changed", (dv) => out({ change: Object.assign({ node: n, at: Date.now() }, plain(dv)) }));
        item.on("err", (e) => out({ change: { node: n, error: String(e) } }));
      }
      return { publishing: sub.publishingInterval };
    }
    case "sessions": {
      const identity = { type: UserTokenType.UserName, userName: r.user, password: r.password };
      let made = 0;
      const errors = {};
      for (let i = 0; i < r.count; i++) {
        try {
          extra.push(await client.createSession(identity));
          made++;
        } catch (e) {
          const why = String(e && e.message || e).split("\n")[0].slice(0, 80);
          errors[why] = (errors[why] || 0) + 1;
        }
      }
      return { made, errors };
    }
    case "close": {
      for (const s of extra) await s.close().catch(() => {});
      extra.length = 0;
      for (const s of subscriptions) await s.terminate().catch(() => {});
      if (session) await session.close().catch(() => {});
      if (client) await client.disconnect().catch(() => {});
      session = client = null;
      return true;
    }
    default: throw new Error("no such op: " + r.op);
  }
}

// one request at a time, in order
const lines = readline.createInterface({ input: process.stdin });
let chain = Promise.resolve();
lines.on("line", (line) => {
  const r = JSON.parse(line);
  chain = chain.then(() => handle(r).then((ok) => out({ id: r.id, ok }),
                                          (e) => out({ id: r.id, error: String(e && e.message || e) })));
});
lines.on("close", () => chain.then(() => handle({ op: "close" })).then(() => process.exit(0)));
