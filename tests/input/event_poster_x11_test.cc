// gtest before Xlib: Xlib defines macros (None, Bool) that clash with gtest names.
#include <gtest/gtest.h>

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "kit/base/x11/x11_connection.h"
#include "kit/input/input_injector.h"
#include "kit/input/x11/event_poster_x11.h"
#include "tests/support/xvfb_server.h"

namespace cvl {
namespace {

// What a client saw of one event; key symbols are looked up when the event is read, with the
// keyboard mapping of that moment.
struct Seen {
  int type = 0;
  unsigned int detail = 0;  // button or keycode
  int x = 0, y = 0;         // root coordinates
  unsigned int state = 0;   // modifiers and buttons before the event
  KeySym keysym = NoSymbol;
};

// A window covering the whole screen, with the keyboard focus, that records what arrives.
class X11PosterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server.exportDisplay();
    connection = X11Connection::open(server.display());
    ASSERT_TRUE(connection);
    display = connection.get();
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.event_mask = KeyPressMask | KeyReleaseMask | ButtonPressMask | ButtonReleaseMask |
                            PointerMotionMask | StructureNotifyMask;
    window = XCreateWindow(display, DefaultRootWindow(display), 0, 0, 640, 480, 0, CopyFromParent,
                           InputOutput, CopyFromParent, CWOverrideRedirect | CWEventMask, &attributes);
    XMapRaised(display, window);
    for (XEvent event; XWindowEvent(display, window, StructureNotifyMask, &event), event.type != MapNotify;) {
    }
    XSetInputFocus(display, window, RevertToParent, CurrentTime);
    XSync(display, False);
    poster = std::make_unique<X11EventPoster>();
    ASSERT_TRUE(poster->available());
    seen();  // whatever the setup itself caused
  }

  void TearDown() override {
    poster.reset();
  }

  // Everything that has arrived. The poster has waited for the server to play each event, so
  // one round trip on this connection brings all of them in.
  std::vector<Seen> seen() {
    XSync(display, False);
    std::vector<Seen> out;
    while (XPending(display) > 0) {
      XEvent event;
      XNextEvent(display, &event);
      if (event.type == MappingNotify) {
        XRefreshKeyboardMapping(&event.xmapping);
        continue;
      }
      Seen s;
      s.type = event.type;
      if (event.type == ButtonPress || event.type == ButtonRelease) {
        s.detail = event.xbutton.button;
        s.x = event.xbutton.x_root;
        s.y = event.xbutton.y_root;
        s.state = event.xbutton.state;
      } else if (event.type == MotionNotify) {
        s.x = event.xmotion.x_root;
        s.y = event.xmotion.y_root;
        s.state = event.xmotion.state;
      } else if (event.type == KeyPress || event.type == KeyRelease) {
        s.detail = event.xkey.keycode;
        s.state = event.xkey.state;
        char text[16];
        XLookupString(&event.xkey, text, sizeof text, &s.keysym, nullptr);
      } else {
        continue;
      }
      out.push_back(s);
    }
    return out;
  }

  std::vector<Seen> seenOfType(int type) {
    std::vector<Seen> out;
    for (const Seen& s : seen()) {
      if (s.type == type) out.push_back(s);
    }
    return out;
  }

  void post(EventType type, double x = 0, double y = 0, std::optional<std::int64_t> buttonNumber = {}) {
    SyntheticEvent event;
    event.type = type;
    event.position = {x, y};
    event.buttonNumber = buttonNumber;
    poster->post(event);
  }

  void key(std::uint16_t keyCode, bool down) {
    SyntheticEvent event;
    event.type = down ? EventType::keyDown : EventType::keyUp;
    event.keyCode = keyCode;
    poster->post(event);
  }

  void type(const std::u16string& text) {
    SyntheticEvent event;
    event.unicode = text;
    event.type = EventType::keyDown;
    poster->post(event);
    event.type = EventType::keyUp;
    poster->post(event);
  }

  // The keysyms of the key presses that arrived.
  std::vector<KeySym> typed() {
    std::vector<KeySym> out;
    for (const Seen& s : seenOfType(KeyPress)) out.push_back(s.keysym);
    return out;
  }

  test::XvfbServer server{{.width = 640, .height = 480}};
  X11Connection connection;
  Display* display = nullptr;  // connection's
  Window window = 0;
  std::unique_ptr<X11EventPoster> poster;
};

TEST_F(X11PosterTest, MovesAndDragsPutThePointerAtTheGlobalPoint) {
  post(EventType::mouseMoved, 100, 120);
  post(EventType::leftMouseDragged, 101.4, 119.6);
  post(EventType::otherMouseDragged, 639, 479, 3);
  post(EventType::mouseMoved, 5000, -70000);  // pinned by the server to the screen
  const auto motions = seenOfType(MotionNotify);
  ASSERT_EQ(motions.size(), 4u);
  EXPECT_EQ(motions[0].x, 100);
  EXPECT_EQ(motions[0].y, 120);
  EXPECT_EQ(motions[1].x, 101);
  EXPECT_EQ(motions[1].y, 120);
  EXPECT_EQ(motions[2].x, 639);
  EXPECT_EQ(motions[2].y, 479);
  EXPECT_EQ(motions[3].x, 639);
  EXPECT_EQ(motions[3].y, 0);
}

TEST_F(X11PosterTest, ButtonsArriveAtTheirPointAsTheirXButtons) {
  struct Case {
    EventType down, up;
    std::optional<std::int64_t> buttonNumber;
    unsigned int xButton;
  };
  const Case cases[] = {
      {EventType::leftMouseDown, EventType::leftMouseUp, {}, 1},
      {EventType::otherMouseDown, EventType::otherMouseUp, 2, 2},
      {EventType::rightMouseDown, EventType::rightMouseUp, {}, 3},
      {EventType::otherMouseDown, EventType::otherMouseUp, 3, 8},
      {EventType::otherMouseDown, EventType::otherMouseUp, 4, 9},
  };
  int x = 50;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.xButton);
    x += 40;
    post(c.down, x, 200, c.buttonNumber);
    post(c.up, x, 200, c.buttonNumber);
    const auto events = seen();
    std::vector<Seen> buttons;
    for (const Seen& s : events) {
      if (s.type == ButtonPress || s.type == ButtonRelease) buttons.push_back(s);
    }
    ASSERT_EQ(buttons.size(), 2u);
    EXPECT_EQ(buttons[0].type, ButtonPress);
    EXPECT_EQ(buttons[1].type, ButtonRelease);
    for (const Seen& s : buttons) {
      EXPECT_EQ(s.detail, c.xButton);
      EXPECT_EQ(s.x, x);
      EXPECT_EQ(s.y, 200);
    }
  }
  // A button number the X pointer has no button for is dropped.
  post(EventType::otherMouseDown, 10, 10, 17);
  EXPECT_TRUE(seenOfType(ButtonPress).empty());
}

TEST_F(X11PosterTest, WheelLinesAreClicksOfTheWheelButtonsWithinABound) {
  struct Case {
    std::int64_t vertical, horizontal;
    unsigned int button;
    std::size_t clicks;
  };
  const Case cases[] = {
      {3, 0, 4, 3},   {-2, 0, 5, 2},  {0, 1, 6, 1},
      {0, -4, 7, 4},  {0, 0, 0, 0},   {53687091, 0, 4, X11EventPoster::MAX_WHEEL_CLICKS},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.button);
    SyntheticEvent event;
    event.type = EventType::scrollWheel;
    event.wheelLines = c.vertical;
    event.wheelLinesHorizontal = c.horizontal;
    poster->post(event);
    const auto events = seen();
    std::size_t presses = 0;
    for (const Seen& s : events) {
      EXPECT_EQ(s.detail, c.button);
      if (s.type == ButtonPress) ++presses;
    }
    EXPECT_EQ(presses, c.clicks);
    EXPECT_EQ(events.size(), 2 * c.clicks);
  }
}

TEST_F(X11PosterTest, KeysAndModifiersArriveAsTheKeyboardsOwnKeys) {
  key(0, true);  // a
  key(0, false);
  key(56, true);  // left shift
  key(0, true);
  key(0, false);
  key(56, false);
  key(59, true);  // control, alt, command together
  key(58, true);
  key(55, true);
  key(6, true);  // z
  key(6, false);
  key(55, false);
  key(58, false);
  key(59, false);
  key(57, true);  // caps lock
  key(57, false);
  key(11, true);  // b
  key(11, false);
  key(57, true);
  key(57, false);
  key(122, true);  // F1
  key(122, false);
  key(10, true);  // not in the table: nothing

  std::vector<Seen> presses = seenOfType(KeyPress);
  ASSERT_EQ(presses.size(), 11u);
  EXPECT_EQ(presses[0].keysym, XK_a);
  EXPECT_EQ(presses[0].state, 0u);
  EXPECT_EQ(presses[0].detail, XKeysymToKeycode(display, XK_a));
  EXPECT_EQ(presses[1].keysym, XK_Shift_L);
  EXPECT_EQ(presses[2].keysym, XK_A);
  EXPECT_EQ(presses[2].state, static_cast<unsigned>(ShiftMask));
  EXPECT_EQ(presses[6].detail, XKeysymToKeycode(display, XK_z));
  EXPECT_EQ(presses[6].state, static_cast<unsigned>(ControlMask | Mod1Mask | Mod4Mask));
  EXPECT_EQ(presses[7].keysym, XK_Caps_Lock);
  EXPECT_EQ(presses[8].keysym, XK_B);
  EXPECT_EQ(presses[8].state, static_cast<unsigned>(LockMask));
  EXPECT_EQ(presses[10].keysym, XK_F1);
  EXPECT_EQ(presses[10].state, 0u);
}

TEST_F(X11PosterTest, CharactersArriveExactlyWhetherTheKeyboardHasThemOrNot) {
  type(u"a");
  type(u"A");  // on the keyboard only with shift
  type(u"\u00E9");
  type(u"\u20AC");
  type(u"\U0001F600");
  type(u"!");
  EXPECT_EQ(typed(), (std::vector<KeySym>{XK_a, XK_A, XK_eacute, 0x10020AC, 0x101F600, XK_exclam}));

  // With shift held the keyboard's own "a" key would give "A": a spare key types it.
  key(56, true);
  type(u"a");
  type(u"A");
  key(56, false);
  EXPECT_EQ(typed(), (std::vector<KeySym>{XK_Shift_L, XK_a, XK_A}));
}

TEST_F(X11PosterTest, MoreDistinctCharactersThanSpareKeysAllArrive) {
  // Greek and Cyrillic small letters: none on a US keyboard, more of them than spare keycodes.
  // The client reads after every character, as a live client keeps up with its input.
  SyntheticEvent held;
  held.type = EventType::keyDown;
  held.unicode = u"\u00E6";
  KeyCode heldKey = 0;
  for (char16_t c = 0x3B1; c < 0x3B1 + 60; ++c) {
    SCOPED_TRACE(static_cast<int>(c));
    if (c == 0x3B1 + 20) poster->post(held);
    type(std::u16string(1, c));
    for (const Seen& s : seen()) {
      if (s.type == KeyPress && s.keysym == XK_ae) {
        heldKey = static_cast<KeyCode>(s.detail);
      } else if (s.type == KeyPress) {
        EXPECT_EQ(s.keysym, 0x1000000u + c);
        // While the held character is down its key carries nothing else.
        EXPECT_NE(s.detail, heldKey);
      }
    }
  }
  ASSERT_NE(heldKey, 0);
  held.type = EventType::keyUp;
  poster->post(held);
  const auto releases = seenOfType(KeyRelease);
  ASSERT_EQ(releases.size(), 1u);
  EXPECT_EQ(releases[0].detail, heldKey);
  EXPECT_EQ(releases[0].keysym, XK_ae);
}

// Whether the server repeats `keycode` while it is held.
bool repeats(Display* display, unsigned int keycode) {
  XKeyboardState state;
  XGetKeyboardControl(display, &state);
  return state.auto_repeats[keycode / 8] & (1 << (keycode % 8));
}

// The viewer sends its own repeats: while a remote press holds a key the server repeats
// nothing, however long it is held; the key repeats again once released.
TEST_F(X11PosterTest, AHeldKeyIsNotRepeatedByTheServer) {
  const KeyCode a = XKeysymToKeycode(display, XK_a);
  ASSERT_TRUE(repeats(display, a));
  key(0, true);  // Mac key code 0 is "a"
  EXPECT_FALSE(repeats(display, a));
  SyntheticEvent character;
  character.type = EventType::keyDown;
  character.unicode = u"\u00F1";
  poster->post(character);
  // Two seconds: the server's own repeat would have started after 660 ms.
  std::this_thread::sleep_for(std::chrono::seconds(2));
  key(0, false);
  character.type = EventType::keyUp;
  poster->post(character);
  const auto presses = seenOfType(KeyPress);
  ASSERT_EQ(presses.size(), 2u) << "repeats arrived";
  EXPECT_TRUE(repeats(display, a));
  EXPECT_TRUE(repeats(display, presses[1].detail));

  // A key the server was told not to repeat stays that way.
  XKeyboardControl off{};
  off.key = a;
  off.auto_repeat_mode = AutoRepeatModeOff;
  XChangeKeyboardControl(display, KBKey | KBAutoRepeatMode, &off);
  key(0, true);
  key(0, false);
  EXPECT_FALSE(repeats(display, a));
}

// releaseAll lets go of whatever the poster holds, whatever its caller believes, and gives
// the keys their repeat back; so does closing.
TEST_F(X11PosterTest, ReleasingEverythingLetsGoAndRestoresRepeat) {
  for (bool closing : {false, true}) {
    SCOPED_TRACE(closing);
    const KeyCode a = XKeysymToKeycode(display, XK_a);
    key(0, true);
    post(EventType::rightMouseDown, 40, 40);
    seen();
    if (closing) {
      poster.reset();
    } else {
      poster->releaseAll();
    }
    int releasedKeys = 0, releasedButtons = 0;
    for (const Seen& s : seen()) {
      releasedKeys += s.type == KeyRelease;
      releasedButtons += s.type == ButtonRelease;
    }
    EXPECT_EQ(releasedKeys, 1);
    EXPECT_EQ(releasedButtons, 1);
    EXPECT_TRUE(repeats(display, a));
    if (!closing) {
      // Nothing is left to release a second time.
      poster->releaseAll();
      EXPECT_TRUE(seen().empty());
    }
  }
}

TEST_F(X11PosterTest, ClosingReleasesWhatIsHeldAndGivesTheSpareKeysBack) {
  key(56, true);
  post(EventType::leftMouseDown, 30, 30);
  SyntheticEvent character;
  character.type = EventType::keyDown;
  character.unicode = u"\u00F1";
  poster->post(character);
  const auto presses = seenOfType(KeyPress);
  ASSERT_EQ(presses.size(), 2u);
  const KeyCode spare = static_cast<KeyCode>(presses[1].detail);
  EXPECT_EQ(XkbKeycodeToKeysym(display, spare, 0, 0), XK_ntilde);

  poster.reset();
  int releasedKeys = 0, releasedButtons = 0;
  for (const Seen& s : seen()) {
    releasedKeys += s.type == KeyRelease;
    releasedButtons += s.type == ButtonRelease;
  }
  EXPECT_EQ(releasedKeys, 2);
  EXPECT_EQ(releasedButtons, 1);
  EXPECT_EQ(XkbKeycodeToKeysym(display, spare, 0, 0), static_cast<KeySym>(NoSymbol));
}

TEST_F(X11PosterTest, InjectedInputArrivesThroughTheWholeChain) {
  auto shared = std::shared_ptr<EventPoster>(std::move(poster));
  InputInjector injector(shared);
  injector.setGeometry({10, 20, 2, 2});
  auto event = [](InputKind kind, auto&& fill) {
    InputEvent e(kind);
    fill(e);
    return e;
  };
  injector.inject({
      event(InputKind::move, [](InputEvent& e) { e.x = 50, e.y = 40; }),
      event(InputKind::button, [](InputEvent& e) { e.button = "left", e.down = true; }),
      event(InputKind::button, [](InputEvent& e) { e.button = "left", e.down = false; }),
      event(InputKind::wheel, [](InputEvent& e) { e.delta = -120; }),
      event(InputKind::keyVk, [](InputEvent& e) { e.vk = 0xA0, e.down = true; }),
      event(InputKind::keyVk, [](InputEvent& e) { e.vk = 0x51, e.down = true; }),
      event(InputKind::keyVk, [](InputEvent& e) { e.vk = 0x51, e.down = false; }),
      event(InputKind::keyVk, [](InputEvent& e) { e.vk = 0x10, e.down = false; }),
      event(InputKind::keyUnicode, [](InputEvent& e) { e.code = 0x1F600, e.down = true; }),
      event(InputKind::keyUnicode, [](InputEvent& e) { e.code = 0x1F600, e.down = false; }),
  });
  const auto events = seen();
  std::vector<Seen> buttons, keys;
  for (const Seen& s : events) {
    if (s.type == ButtonPress) buttons.push_back(s);
    if (s.type == KeyPress) keys.push_back(s);
  }
  ASSERT_GE(events.size(), 1u);
  EXPECT_EQ(events[0].type, MotionNotify);
  EXPECT_EQ(events[0].x, 110);
  EXPECT_EQ(events[0].y, 100);
  ASSERT_EQ(buttons.size(), 4u);
  EXPECT_EQ(buttons[0].detail, 1u);
  EXPECT_EQ(buttons[0].x, 110);
  EXPECT_EQ(buttons[0].y, 100);
  for (int i = 1; i < 4; ++i) EXPECT_EQ(buttons[i].detail, 5u);
  ASSERT_EQ(keys.size(), 3u);
  EXPECT_EQ(keys[0].keysym, XK_Shift_L);
  EXPECT_EQ(keys[1].keysym, XK_Q);
  EXPECT_EQ(keys[1].state, static_cast<unsigned>(ShiftMask));
  EXPECT_EQ(keys[2].keysym, 0x101F600u);
  EXPECT_EQ(keys[2].state, 0u);
}

TEST_F(X11PosterTest, PostsFromTwoThreadsAllArrive) {
  auto mover = [this](int y) {
    for (int x = 0; x < 200; ++x) post(EventType::mouseMoved, x, y);
  };
  std::thread first(mover, 10);
  std::thread second(mover, 20);
  first.join();
  second.join();
  EXPECT_EQ(seenOfType(MotionNotify).size(), 400u);
}

TEST(X11PosterWithoutDisplay, DropsEverything) {
  unsetenv("DISPLAY");
  X11EventPoster poster;
  EXPECT_FALSE(poster.available());
  SyntheticEvent event;
  event.type = EventType::leftMouseDown;
  poster.post(event);
  InputInjector injector;
  InputEvent move(InputKind::move);
  injector.inject(move);
}

}  // namespace
}  // namespace cvl
