// The page's key agreement, envelopes and phrase against the known answers that an
// independent tool made (tests/e2e/fixtures/known_answers.json), and the channel's counter
// and replay rules.
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { test } from 'node:test';

import { bytesToHex, hexToBytes } from '../../../tools/web-viewer/bytes.js';
import { Channel, E2EError, Handshake } from '../../../tools/web-viewer/e2e.js';
import { decodeEnvelope, encodeEnvelope, nonceFor } from '../../../tools/web-viewer/envelope.js';
import { phraseFromVerificationBytes, WORDS } from '../../../tools/web-viewer/phrase.js';

const fixtures = JSON.parse(readFileSync(new URL('../../e2e/fixtures/known_answers.json', import.meta.url)));
const hs = fixtures.handshake;

async function keyedPair() {
  const initiator = await Handshake.create(hexToBytes(hs.initiatorPrivate), 'initiator');
  const responder = await Handshake.create(hexToBytes(hs.responderPrivate), 'responder');
  return {
    initiator, responder,
    page: await initiator.complete(responder.publicKey),
    host: await responder.complete(initiator.publicKey),
  };
}

test('public keys and the phrase match the known answers', async () => {
  const { initiator, responder, page, host } = await keyedPair();
  assert.equal(bytesToHex(initiator.publicKey), hs.initiatorPublic);
  assert.equal(bytesToHex(responder.publicKey), hs.responderPublic);
  assert.equal(page.phrase.short, hs.phrase);
  assert.equal(host.phrase.short, hs.phrase);
});

test('envelopes are sealed and opened byte for byte as the host does, both ways', async () => {
  for (const e of fixtures.envelopes) {
    const { page, host } = await keyedPair();
    const [sender, receiver] = e.direction === 'initiatorToResponder' ? [page, host] : [host, page];
    sender.sendCtr = BigInt(e.counter);
    const sealed = await sender.seal(hexToBytes(e.plaintext));
    assert.equal(bytesToHex(sealed), e.envelope, `counter ${e.counter}`);
    const opened = await receiver.open(hexToBytes(e.envelope));
    assert.equal(bytesToHex(opened), e.plaintext);
    assert.equal(receiver.lastRecv, BigInt(e.counter));
  }
});

test('verification bytes become the same phrase as on the host, for every word', () => {
  const used = new Set();
  for (const p of fixtures.phrases) {
    const phrase = phraseFromVerificationBytes(hexToBytes(p.verificationBytes));
    assert.equal(phrase.short, p.phrase, p.verificationBytes);
    phrase.words.forEach((w) => used.add(w));
  }
  assert.equal(used.size, 64);
  assert.equal(WORDS.length, 64);
  assert.equal(phraseFromVerificationBytes(new Uint8Array(8)).short, 'apple-apple-apple / 000000');
  assert.equal(phraseFromVerificationBytes(new Uint8Array(8).fill(0xff)).short, 'zephyr-zephyr-zephyr / 967295');
});

test('only rising counters open; forged bytes neither open nor move the window', async () => {
  const { page, host } = await keyedPair();
  const sealedAt = async (n, text) => {
    host.sendCtr = BigInt(n);
    return host.seal(new TextEncoder().encode(text));
  };
  const e0 = await sealedAt(0, 'zero');
  const e5 = await sealedAt(5, 'five');
  const e3 = await sealedAt(3, 'three');
  const e6 = await sealedAt(6, 'six');
  assert.ok(await page.open(e0));
  assert.equal(await page.open(e0), null, 'a replay');
  assert.ok(await page.open(e5));
  assert.equal(await page.open(e3), null, 'an older counter');
  const forged = e6.slice();
  forged[forged.length - 1] ^= 1;
  assert.equal(await page.open(forged), null, 'a changed tag');
  assert.equal(page.lastRecv, 5n);
  assert.equal(new TextDecoder().decode(await page.open(e6)), 'six');
  assert.equal(page.opened, 3);
  assert.equal(page.rejected, 3);
  // Too short for a counter, or for a tag, and a counter past 2^63.
  assert.equal(await page.open(new Uint8Array(7)), null);
  assert.equal(await page.open(new Uint8Array(8 + 15)), null);
  assert.equal(await page.open(encodeEnvelope(2n ** 63n, new Uint8Array(16))), null);
  assert.equal(page.rejected, 6);
});

test('a channel cannot open its own envelopes, and the send counter stops before 2^53', async () => {
  const { page } = await keyedPair();
  assert.equal(await page.open(await page.seal(new Uint8Array([1]))), null);
  page.sendCtr = 2n ** 53n - 1n;
  const last = await page.seal(new Uint8Array());
  assert.equal(decodeEnvelope(last).counter, 2n ** 53n - 1n);
  await assert.rejects(page.seal(new Uint8Array()), E2EError);
  await assert.rejects(page.seal(new Uint8Array()), E2EError);
  assert.equal(page.sendCtr, 2n ** 53n);
});

test('host keys that are the wrong size or of low order are refused', async () => {
  const initiator = await Handshake.create();
  for (const key of [new Uint8Array(31), new Uint8Array(33), new Uint8Array(0), new Uint8Array(32)]) {
    await assert.rejects(initiator.complete(key), E2EError, `${key.length} bytes`);
  }
});

test('envelope layout: counter first, nonce from the counter', () => {
  assert.equal(bytesToHex(nonceFor(1n)), '000000000000000000000001');
  assert.equal(bytesToHex(nonceFor(258n)), '000000000000000000000102');
  const e = encodeEnvelope(0x0102030405060708n, new Uint8Array([0xaa]));
  assert.equal(bytesToHex(e), '0102030405060708aa');
  assert.deepEqual(decodeEnvelope(e).counter, 0x0102030405060708n);
  assert.equal(decodeEnvelope(new Uint8Array(7)), null);
  assert.equal(decodeEnvelope(new Uint8Array(8)).ciphertext.length, 0);
});

test('a fresh channel starts at counter 0 and accepts counter 0 once', async () => {
  const { page, host } = await keyedPair();
  assert.ok(page instanceof Channel);
  const first = await host.seal(new Uint8Array([7]));
  assert.equal(decodeEnvelope(first).counter, 0n);
  assert.deepEqual([...await page.open(first)], [7]);
  assert.equal(await page.open(first), null);
});
