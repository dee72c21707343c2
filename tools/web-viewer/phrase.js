// The verification phrase: three words and six digits from the eight verification bytes of
// a key agreement. Both ends derive it alike, so two people can compare it.

export const WORDS = [
  'apple', 'amber', 'anchor', 'arrow', 'basil', 'beacon', 'birch', 'bison',
  'blaze', 'cabin', 'cactus', 'canyon', 'cedar', 'cobalt', 'comet', 'coral',
  'cotton', 'cricket', 'crimson', 'delta', 'denim', 'ember', 'falcon', 'fable',
  'fjord', 'flint', 'garnet', 'ginger', 'glacier', 'harbor', 'hazel', 'heron',
  'indigo', 'ivory', 'jasmine', 'jetty', 'kayak', 'kestrel', 'lagoon', 'lantern',
  'lilac', 'maple', 'marble', 'meadow', 'nectar', 'nimbus', 'oasis', 'olive',
  'onyx', 'opal', 'orchid', 'pepper', 'quartz', 'quill', 'raven', 'saffron',
  'sienna', 'spruce', 'tundra', 'umber', 'violet', 'walnut', 'willow', 'zephyr',
];

// `v`: the 8 verification bytes. Words from the low six bits of bytes 0-2; digits from
// bytes 4-7 (big-endian) modulo one million; byte 3 is not used.
export function phraseFromVerificationBytes(v) {
  const words = [WORDS[v[0] & 63], WORDS[v[1] & 63], WORDS[v[2] & 63]];
  const number = ((v[4] << 24) | (v[5] << 16) | (v[6] << 8) | v[7]) >>> 0;
  const digits = String(number % 1000000).padStart(6, '0');
  return { words, digits, short: `${words.join('-')} / ${digits}` };
}
