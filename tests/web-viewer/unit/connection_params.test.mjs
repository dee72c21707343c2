// The connection parameters from the page address and the relay's viewer endpoint.
import assert from 'node:assert/strict';
import { test } from 'node:test';

import { fragmentFor, parseFragment, servingRelay, viewerUrl } from '../../../tools/web-viewer/connection_params.js';

test('the fragment carries relay, device, token and role, and round-trips', () => {
  const params = { relay: 'wss://relay.example.org/base', device: 'desk 1', token: 'a+b/c=&?', role: 'owner' };
  assert.deepEqual(parseFragment(fragmentFor(params)), params);
  assert.deepEqual(parseFragment(''), { relay: '', device: '', token: '', role: '' });
});

test('the viewer endpoint encodes every value so that the relay decodes it back', () => {
  assert.equal(viewerUrl({ relay: 'ws://127.0.0.1:8443/', device: 'dev 1', token: 'a+b/c=&?', role: 'helper' }),
               'ws://127.0.0.1:8443/view?deviceId=dev%201&token=a%2Bb%2Fc%3D%26%3F&role=helper');
  assert.equal(viewerUrl({ relay: 'wss://r.example.org/prefix//', device: 'd', token: 't', role: '' }),
               'wss://r.example.org/prefix/view?deviceId=d&token=t');
  for (const relay of ['', 'http://r.example.org', 'not a url']) {
    assert.equal(viewerUrl({ relay, device: 'd', token: 't' }), null, relay);
  }
  assert.equal(viewerUrl({ relay: 'ws://r', device: '', token: 't' }), null);
  assert.equal(viewerUrl({ relay: 'ws://r', device: 'd', token: '' }), null);
});

test('a page served by a relay talks to that relay; one opened from disk has none', () => {
  assert.equal(servingRelay({ protocol: 'http:', host: '127.0.0.1:8080', pathname: '/' }), 'ws://127.0.0.1:8080');
  assert.equal(servingRelay({ protocol: 'https:', host: 'r.example.org', pathname: '/corvello/index.html' }),
               'wss://r.example.org/corvello');
  assert.equal(servingRelay({ protocol: 'file:', host: '', pathname: '/home/me/corvello-viewer.html' }), '');
});
