// A casting client library drives the media renderer as an application
// would: finds it by SSDP, loads with autoplay, pauses, plays, seeks, stops,
// sets volume and mute, reads position and media info, and hears each
// change as an event within kEventMs. Runs in the peer namespace.
// Usage: node renderer_interop.js MODULES_DIR PEER_IP
'use strict';
const dgram = require('dgram');
const path = require('path');
const Client = require(path.resolve(process.argv[2], 'node_modules', 'upnp-mediarenderer-client'));
const peerIp = process.argv[3];
const kEventMs = 5000;
const kMediaType = 'urn:schemas-upnp-org:device:MediaRenderer:1';

function fail(message) {
  console.error('FAIL: ' + message);
  process.exit(1);
}
setTimeout(() => fail('did not finish in 120 s'), 120000).unref();

// M-SEARCH once a second from the peer's own address until one answers.
function discover() {
  return new Promise((resolve) => {
    const socket = dgram.createSocket('udp4');
    const search = Buffer.from('M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\n' +
      'MAN: "ssdp:discover"\r\nMX: 1\r\nST: ' + kMediaType + '\r\n\r\n');
    let tries = 0;
    const send = () => {
      if (++tries > 15) fail('no answer to M-SEARCH for ' + kMediaType);
      socket.send(search, 1900, '239.255.255.250');
    };
    let timer;
    socket.on('message', (message) => {
      const location = /^LOCATION: *(\S+)/im.exec(message.toString());
      if (!location) return;
      clearInterval(timer);
      socket.close();
      resolve(location[1]);
    });
    socket.bind(0, peerIp, () => { send(); timer = setInterval(send, 1000); });
  });
}

const call = (fn, ...args) => new Promise((resolve, reject) =>
  fn(...args, (err, result) => (err ? reject(err) : resolve(result))));

// Resolves with the time an event of that name is emitted after now;
// rejects unless it comes within limitMs.
function expectEvent(emitter, name, limitMs, test) {
  const start = Date.now();
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error('no ' + name + ' event within ' + limitMs + ' ms')), limitMs);
    const listener = (e) => {
      if (test && !test(e)) return;
      clearTimeout(timer);
      emitter.removeListener(name, listener);
      resolve(Date.now() - start);
    };
    emitter.on(name, listener);
  });
}

async function step(name, body) {
  try {
    const detail = await body();
    console.log('ok: ' + name + (detail === undefined ? '' : ' (' + detail + ')'));
  } catch (err) {
    fail(name + ': ' + (err && err.message ? err.message : err));
  }
}

function assertEqual(got, want, what) {
  if (got !== want) throw new Error(what + ': got ' + JSON.stringify(got) + ', want ' + JSON.stringify(want));
}

async function main() {
  const location = await discover();
  console.log('ok: discovered ' + location);
  const client = new Client(location);
  const action = (service, name, args) => call(client.callAction.bind(client), service, name, args || {});
  const media = 'http://' + peerIp + ':8099/track.mp3?a=1&b=2';
  // The first AVTransport event (the whole state) reaches 'status' only.
  const first = expectEvent(client, 'status', 10000);
  client.on('stopped', () => {});
  await step('subscribed, initial event', () => first);
  await step('protocol info', async () => {
    const sink = await call(client.getSupportedProtocols.bind(client));
    if (!sink.some((p) => p.contentFormat === 'audio/mpeg')) throw new Error('no audio/mpeg sink');
    return sink.length + ' sink formats';
  });
  await step('load with autoplay, playing event', async () => {
    const playing = expectEvent(client, 'playing', kEventMs);
    await call(client.load.bind(client), media,
      { autoplay: true, contentType: 'audio/mpeg', metadata: { title: 'A & B <live>', type: 'audio' } });
    return (await playing) + ' ms';
  });
  await step('media info', async () => {
    const info = await action('AVTransport', 'GetMediaInfo', { InstanceID: 0 });
    assertEqual(info.CurrentURI, media, 'CurrentURI');
    assertEqual(info.NrTracks, '1', 'NrTracks');
    if (!info.CurrentURIMetaData.includes('<dc:title>A &amp; B &lt;live&gt;</dc:title>'))
      throw new Error('metadata: ' + info.CurrentURIMetaData);
  });
  await step('position advances', async () => {
    const a = await call(client.getPosition.bind(client));
    await new Promise((r) => setTimeout(r, 1500));
    const b = await call(client.getPosition.bind(client));
    if (!(b > a)) throw new Error('position ' + a + ' then ' + b);
    return a + ' s then ' + b + ' s';
  });
  await step('pause, paused event', async () => {
    const paused = expectEvent(client, 'paused', kEventMs);
    await call(client.pause.bind(client));
    const ms = await paused;
    assertEqual((await call(client.getTransportInfo.bind(client))).CurrentTransportState, 'PAUSED_PLAYBACK', 'state');
    return ms + ' ms';
  });
  await step('play, playing event', async () => {
    const playing = expectEvent(client, 'playing', kEventMs);
    await call(client.play.bind(client));
    return (await playing) + ' ms';
  });
  await step('seek and duration', async () => {
    await call(client.seek.bind(client), 65);
    const position = await call(client.getPosition.bind(client));
    if (position < 65) throw new Error('position ' + position + ' after seek to 65');
    return 'position ' + position + ' s of ' + (await call(client.getDuration.bind(client))) + ' s';
  });
  await step('stop, stopped event', async () => {
    const stopped = expectEvent(client, 'stopped', kEventMs);
    await call(client.stop.bind(client));
    return (await stopped) + ' ms';
  });
  await step('pause while stopped: 701', async () => {
    try { await call(client.pause.bind(client)); } catch (err) { return assertEqual(err.errorCode, '701', 'errorCode'); }
    throw new Error('no fault');
  });
  const rendering = new (require('events'))();
  client.subscribe('RenderingControl', (e) => rendering.emit('change', e));
  await step('volume and mute with their events', async () => {
    await expectEvent(rendering, 'change', 10000);  // the initial one
    const volume = expectEvent(rendering, 'change', kEventMs, (e) => e.Volume === '35');
    await call(client.setVolume.bind(client), 35);
    assertEqual(await call(client.getVolume.bind(client)), 35, 'volume');
    const vms = await volume;
    const mute = expectEvent(rendering, 'change', kEventMs, (e) => e.Mute === '1');
    await action('RenderingControl', 'SetMute', { InstanceID: 0, Channel: 'Master', DesiredMute: 1 });
    assertEqual((await action('RenderingControl', 'GetMute', { InstanceID: 0, Channel: 'Master' })).CurrentMute, '1', 'mute');
    return 'volume ' + vms + ' ms, mute ' + (await mute) + ' ms';
  });
  await step('metadata returned exactly, end of media stops', async () => {
    const didl = '<DIDL-Lite xmlns="urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/" ' +
      'xmlns:dc="http://purl.org/dc/elements/1.1/"><item id="1" parentID="0" restricted="1">' +
      '<dc:title>Cafe "&amp;" \'x\' &lt;&gt;</dc:title><res duration="0:00:02.000" ' +
      'protocolInfo="http-get:*:audio/mpeg:*">' + media.replace(/&/g, '&amp;') + '</res></item></DIDL-Lite>';
    await action('AVTransport', 'SetAVTransportURI', { InstanceID: 0, CurrentURI: media, CurrentURIMetaData: didl });
    const info = await action('AVTransport', 'GetMediaInfo', { InstanceID: 0 });
    assertEqual(info.CurrentURIMetaData, didl, 'CurrentURIMetaData');
    assertEqual(info.MediaDuration, '0:00:02', 'MediaDuration');
    const stopped = expectEvent(client, 'stopped', 2000 + kEventMs);
    await call(client.play.bind(client));
    return 'stopped ' + (await stopped) + ' ms after play';
  });
  process.exit(0);
}

main().catch((err) => fail(err.stack || err));
