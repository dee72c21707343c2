#include "kit/input/x11/event_poster_x11.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "kit/base/x11/x11_connection.h"
#include "kit/input/x11/mac_keysyms.h"

namespace cvl {
namespace {

// The first Unicode scalar value of a UTF-16 string, absent when it does not start with one.
std::optional<std::uint32_t> firstScalar(const std::u16string& text) {
  if (text.empty()) return std::nullopt;
  const std::uint32_t first = text[0];
  if (first < 0xD800 || first > 0xDFFF) return first;
  if (first > 0xDBFF || text.size() < 2) return std::nullopt;
  const std::uint32_t second = text[1];
  if (second < 0xDC00 || second > 0xDFFF) return std::nullopt;
  return 0x10000 + ((first - 0xD800) << 10) + (second - 0xDC00);
}

// X pointer coordinates are 16-bit on the wire; anything beyond is pinned to the edge.
std::optional<int> toPixel(double value) {
  if (!std::isfinite(value)) return std::nullopt;
  return static_cast<int>(std::lround(std::clamp(value, -32768.0, 32767.0)));
}

bool isButtonPress(EventType type) {
  return type == EventType::leftMouseDown || type == EventType::rightMouseDown ||
         type == EventType::otherMouseDown;
}

// The X button of a button event, 0 for none.
unsigned int xButton(const SyntheticEvent& event) {
  switch (event.type) {
    case EventType::leftMouseDown:
    case EventType::leftMouseUp:
      return 1;
    case EventType::rightMouseDown:
    case EventType::rightMouseUp:
      return 3;
    case EventType::otherMouseDown:
    case EventType::otherMouseUp:
      switch (event.buttonNumber.value_or(2)) {
        case 2: return 2;
        case 3: return 8;
        case 4: return 9;
        default: return 0;
      }
    default:
      return 0;
  }
}

}  // namespace

struct X11EventPoster::Impl {
  // A keycode without symbols that carries a keysym the keyboard lacks. The keysym stays
  // mapped after its key is released: a client may look the key up only after it has read
  // the release, so a keycode is only given another keysym when it is needed again.
  struct SpareKey {
    KeyCode keycode = 0;
    KeySym keysym = NoSymbol;
    std::uint64_t lastUse = 0;
  };

  std::mutex mutex;
  X11Connection connection;
  bool xtest = false;
  int buttonCount = 0;
  std::vector<SpareKey> spares;
  std::uint64_t uses = 0;
  std::set<unsigned int> heldButtons;
  std::map<std::uint16_t, KeyCode> heldKeys;   // Mac key code -> keycode pressed for it
  std::map<std::uint32_t, KeyCode> heldChars;  // character -> keycode pressed for it
  // Keycodes whose auto-repeat we switched off while a remote press holds them.
  std::set<KeyCode> repeatOff;

  explicit Impl(const std::string& displayName) : connection(X11Connection::open(displayName)) {
    if (!connection) return;
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    xtest = XTestQueryExtension(display(), &eventBase, &errorBase, &major, &minor);
    unsigned char map[256];
    buttonCount = XGetPointerMapping(display(), map, sizeof map);
    findSpareKeycodes();
  }

  ~Impl() {
    if (!connection) return;
    releaseEverything();
    for (const SpareKey& spare : spares) {
      if (spare.keysym == NoSymbol) continue;
      KeySym none = NoSymbol;
      XChangeKeyboardMapping(display(), spare.keycode, 1, &none, 1);
    }
    XSync(display(), False);
  }

  Display* display() const { return connection.get(); }

  void findSpareKeycodes() {
    int minKeycode = 0, maxKeycode = 0;
    XDisplayKeycodes(display(), &minKeycode, &maxKeycode);
    int perKeycode = 0;
    KeySym* symbols =
        XGetKeyboardMapping(display(), minKeycode, maxKeycode - minKeycode + 1, &perKeycode);
    if (symbols == nullptr) return;
    std::set<KeyCode> modifierKeys;
    if (XModifierKeymap* modifiers = XGetModifierMapping(display())) {
      for (int i = 0; i < 8 * modifiers->max_keypermod; ++i) modifierKeys.insert(modifiers->modifiermap[i]);
      XFreeModifiermap(modifiers);
    }
    // Highest keycodes first: they are the least likely to be claimed by a layout switch.
    for (int keycode = maxKeycode; keycode >= minKeycode; --keycode) {
      const KeySym* row = symbols + static_cast<std::ptrdiff_t>(keycode - minKeycode) * perKeycode;
      const bool empty = std::all_of(row, row + perKeycode, [](KeySym s) { return s == NoSymbol; });
      if (empty && !modifierKeys.count(static_cast<KeyCode>(keycode))) {
        spares.push_back({static_cast<KeyCode>(keycode), NoSymbol, 0});
      }
    }
    XFree(symbols);
  }

  bool isHeld(KeyCode keycode) const {
    for (const auto& [code, held] : heldKeys) if (held == keycode) return true;
    for (const auto& [ch, held] : heldChars) if (held == keycode) return true;
    return false;
  }

  // A remote viewer sends its own repeats, so the server must not repeat a key it holds: a
  // late release over a slow link would otherwise become a stream of characters. Auto-repeat
  // goes off for the key before its first press (when it was on) and back on after its last
  // release.
  void pressKey(KeyCode keycode) {
    if (!isHeld(keycode) && !repeatOff.count(keycode)) {
      XKeyboardState state;
      XGetKeyboardControl(display(), &state);
      if (state.auto_repeats[keycode / 8] & (1 << (keycode % 8))) {
        XKeyboardControl control{};
        control.key = keycode;
        control.auto_repeat_mode = AutoRepeatModeOff;
        XChangeKeyboardControl(display(), KBKey | KBAutoRepeatMode, &control);
        repeatOff.insert(keycode);
      }
    }
    XTestFakeKeyEvent(display(), keycode, True, CurrentTime);
  }

  // Call after the key has left the held records.
  void releaseKey(KeyCode keycode) {
    XTestFakeKeyEvent(display(), keycode, False, CurrentTime);
    if (!isHeld(keycode)) restoreRepeat(keycode);
  }

  void restoreRepeat(KeyCode keycode) {
    if (!repeatOff.erase(keycode)) return;
    XKeyboardControl control{};
    control.key = keycode;
    control.auto_repeat_mode = AutoRepeatModeOn;
    XChangeKeyboardControl(display(), KBKey | KBAutoRepeatMode, &control);
  }

  // Lets go of every key and button this poster pressed and gives every key its auto-repeat
  // back.
  void releaseEverything() {
    if (xtest) {
      auto keys = std::exchange(heldKeys, {});
      auto chars = std::exchange(heldChars, {});
      auto buttons = std::exchange(heldButtons, {});
      Display* d = display();
      for (const auto& [code, keycode] : keys) XTestFakeKeyEvent(d, keycode, False, CurrentTime);
      for (const auto& [ch, keycode] : chars) XTestFakeKeyEvent(d, keycode, False, CurrentTime);
      for (unsigned int button : buttons) XTestFakeButtonEvent(d, button, False, CurrentTime);
    }
    for (KeyCode keycode : std::set<KeyCode>(repeatOff)) restoreRepeat(keycode);
    XSync(display(), False);
  }

  // The spare keycode that carries `keysym`, mapping it onto the least recently used free
  // spare when none does yet; 0 when every spare is held down.
  KeyCode borrow(KeySym keysym) {
    for (SpareKey& spare : spares) {
      // Reused only while the server still has it there: a layout change resets the keys.
      if (spare.keysym == keysym && XkbKeycodeToKeysym(display(), spare.keycode, 0, 0) == keysym) {
        spare.lastUse = ++uses;
        return spare.keycode;
      }
    }
    SpareKey* pick = nullptr;
    for (SpareKey& spare : spares) {
      if (isHeld(spare.keycode)) continue;
      if (pick == nullptr || spare.lastUse < pick->lastUse) pick = &spare;
    }
    if (pick == nullptr) return 0;
    // The same symbol with and without shift, so that held modifiers cannot change it.
    KeySym both[2] = {keysym, keysym};
    XChangeKeyboardMapping(display(), pick->keycode, 2, both, 1);
    pick->keysym = keysym;
    pick->lastUse = ++uses;
    return pick->keycode;
  }

  KeyCode spareCarrying(KeySym keysym) const {
    for (const SpareKey& spare : spares) {
      if (spare.keysym == keysym) return spare.keycode;
    }
    return 0;
  }

  // A keycode that types `keysym` in the current modifier state: the keyboard's own key when
  // its symbol at the shift level in effect is this one, otherwise a spare.
  KeyCode keycodeTyping(KeySym keysym) {
    const KeyCode own = XKeysymToKeycode(display(), keysym);
    if (own != 0) {
      Window root = 0, child = 0;
      int rootX = 0, rootY = 0, x = 0, y = 0;
      unsigned int mask = 0;
      XQueryPointer(display(), DefaultRootWindow(display()), &root, &child, &rootX, &rootY, &x, &y,
                    &mask);
      KeySym lower = NoSymbol, upper = NoSymbol;
      XConvertCase(keysym, &lower, &upper);
      const bool capsChangesIt = (mask & LockMask) && lower != upper;
      const int level = (mask & ShiftMask) ? 1 : 0;
      if (!capsChangesIt && XkbKeycodeToKeysym(display(), own, 0, level) == keysym) return own;
    }
    return borrow(keysym);
  }

  void moveTo(const GlobalPoint& point) {
    const auto x = toPixel(point.x);
    const auto y = toPixel(point.y);
    if (!x || !y) return;
    XTestFakeMotionEvent(display(), DefaultScreen(display()), *x, *y, CurrentTime);
  }

  void button(const SyntheticEvent& event) {
    const unsigned int button = xButton(event);
    if (button == 0 || static_cast<int>(button) > buttonCount) return;
    moveTo(event.position);
    const bool press = isButtonPress(event.type);
    XTestFakeButtonEvent(display(), button, press ? True : False, CurrentTime);
    if (press) {
      heldButtons.insert(button);
    } else {
      heldButtons.erase(button);
    }
  }

  void clicks(std::int64_t lines, unsigned int positive, unsigned int negative) {
    const unsigned int button = lines > 0 ? positive : negative;
    if (static_cast<int>(button) > buttonCount) return;
    const std::int64_t count = std::min(lines > 0 ? lines : -lines, MAX_WHEEL_CLICKS);
    for (std::int64_t i = 0; i < count; ++i) {
      XTestFakeButtonEvent(display(), button, True, CurrentTime);
      XTestFakeButtonEvent(display(), button, False, CurrentTime);
    }
  }

  void key(const SyntheticEvent& event) {
    const bool down = event.type == EventType::keyDown;
    const auto keysym = x11::keysymForMacKeyCode(event.keyCode);
    if (!keysym) return;
    if (down) {
      KeyCode keycode = XKeysymToKeycode(display(), *keysym);
      if (keycode == 0) keycode = borrow(*keysym);
      if (keycode == 0) return;
      pressKey(keycode);
      heldKeys[event.keyCode] = keycode;
      return;
    }
    KeyCode keycode = 0;
    if (auto held = heldKeys.find(event.keyCode); held != heldKeys.end()) {
      keycode = held->second;
      heldKeys.erase(held);
    } else {
      // Not pressed here (a release sent blindly): the server ignores releases of keys that
      // are not down, so releasing the key's own keycode is harmless.
      keycode = XKeysymToKeycode(display(), *keysym);
      if (keycode == 0) keycode = spareCarrying(*keysym);
    }
    if (keycode != 0) releaseKey(keycode);
  }

  void character(const SyntheticEvent& event) {
    const auto scalar = firstScalar(event.unicode);
    if (!scalar) return;
    const auto keysym = x11::keysymForCodePoint(*scalar);
    if (!keysym) return;
    if (event.type == EventType::keyDown) {
      const KeyCode keycode = keycodeTyping(*keysym);
      if (keycode == 0) return;
      pressKey(keycode);
      heldChars[*scalar] = keycode;
      return;
    }
    if (auto held = heldChars.find(*scalar); held != heldChars.end()) {
      KeyCode keycode = held->second;
      heldChars.erase(held);
      releaseKey(keycode);
    }
  }

  void post(const SyntheticEvent& event) {
    switch (event.type) {
      case EventType::mouseMoved:
      case EventType::leftMouseDragged:
      case EventType::rightMouseDragged:
      case EventType::otherMouseDragged:
        moveTo(event.position);
        break;
      case EventType::leftMouseDown:
      case EventType::leftMouseUp:
      case EventType::rightMouseDown:
      case EventType::rightMouseUp:
      case EventType::otherMouseDown:
      case EventType::otherMouseUp:
        button(event);
        break;
      case EventType::scrollWheel:
        if (event.wheelLines != 0) clicks(event.wheelLines, 4, 5);
        if (event.wheelLinesHorizontal != 0) clicks(event.wheelLinesHorizontal, 6, 7);
        break;
      case EventType::keyDown:
      case EventType::keyUp:
        if (event.unicode.empty()) {
          key(event);
        } else {
          character(event);
        }
        break;
    }
    // A round trip rather than a flush: when post() returns the server has played the event,
    // so events posted from different threads, or a client watching, see them in order.
    XSync(display(), False);
    drainEvents();
  }

  // This connection selects nothing, but every client gets the keyboard mapping notices (our
  // own spare-key changes among them). Reading them keeps Xlib's copy of the mapping current
  // and stops them piling up in the queue for as long as the host runs.
  void drainEvents() {
    while (XPending(display()) > 0) {
      XEvent event;
      XNextEvent(display(), &event);
      if (event.type == MappingNotify) XRefreshKeyboardMapping(&event.xmapping);
    }
  }
};

X11EventPoster::X11EventPoster(const std::string& displayName)
    : impl_(std::make_unique<Impl>(displayName)) {}

X11EventPoster::~X11EventPoster() = default;

bool X11EventPoster::available() const { return impl_->connection.isOpen() && impl_->xtest; }

void X11EventPoster::post(const SyntheticEvent& event) {
  if (!available()) return;
  std::lock_guard lock(impl_->mutex);
  impl_->post(event);
}

void X11EventPoster::releaseAll() {
  if (!available()) return;
  std::lock_guard lock(impl_->mutex);
  impl_->releaseEverything();
  impl_->drainEvents();
}

std::unique_ptr<EventPoster> makeSystemEventPoster() { return std::make_unique<X11EventPoster>(); }

}  // namespace cvl
