// Where to connect: the relay's address, the device, the viewer token and the role, read
// from the page address's fragment (#relay=…&device=…&token=…&role=…), which browsers never
// send to a web server. Without a relay in the fragment, a page served by a relay talks to
// that relay.

export const ROLES = ['owner', 'trusted', 'helper', 'viewer'];
export const DRIVING_ROLES = new Set(['owner', 'trusted', 'helper']);

export function parseFragment(hash) {
  const params = new URLSearchParams(String(hash || '').replace(/^#/, ''));
  return {
    relay: params.get('relay') || '',
    device: params.get('device') || '',
    token: params.get('token') || '',
    role: params.get('role') || '',
  };
}

export function fragmentFor({ relay, device, token, role }) {
  const params = new URLSearchParams();
  if (relay) params.set('relay', relay);
  if (device) params.set('device', device);
  if (token) params.set('token', token);
  if (role) params.set('role', role);
  return `#${params.toString()}`;
}

// The relay that served this page ("ws://host:port/prefix"), or '' for a page opened from
// disk.
export function servingRelay(location) {
  if (location.protocol !== 'http:' && location.protocol !== 'https:') return '';
  const scheme = location.protocol === 'https:' ? 'wss:' : 'ws:';
  const path = location.pathname.replace(/[^/]*$/, '').replace(/\/+$/, '');
  return `${scheme}//${location.host}${path}`;
}

// The relay's viewer endpoint for these parameters, or null when something is missing or
// the relay address is not a ws:// or wss:// URL.
export function viewerUrl({ relay, device, token, role }) {
  if (!relay || !device || !token) return null;
  let base;
  try {
    base = new URL(relay);
  } catch {
    return null;
  }
  if (base.protocol !== 'ws:' && base.protocol !== 'wss:') return null;
  const path = base.pathname.replace(/\/+$/, '');
  // encodeURIComponent, not URLSearchParams: the relay reads "+" as a plus, not a space.
  let query = `deviceId=${encodeURIComponent(device)}&token=${encodeURIComponent(token)}`;
  if (role) query += `&role=${encodeURIComponent(role)}`;
  return `${base.protocol}//${base.host}${path}/view?${query}`;
}
