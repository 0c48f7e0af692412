#include "Quillmere/Platform/X11Desktop.h"

#include <gtest/gtest.h>
#include <xcb/xcb.h>

using namespace quillmere;

TEST(X11DesktopPointerEvent, ReadsRootPointFromButtonsAndMotionAndIgnoresTheRest)
{
    xcb_button_press_event_t press{};
    press.response_type = XCB_BUTTON_PRESS | 0x80; // sent by another client
    press.detail = 1;
    press.root_x = 1500;
    press.root_y = -20;
    press.event_x = 3;
    const auto pressed = X11Desktop::pointerEvent("xcb_generic_event_t", &press);
    ASSERT_TRUE(pressed);
    EXPECT_EQ(pressed->kind, X11Desktop::PointerEvent::Kind::press);
    EXPECT_EQ(pressed->root, QPoint(1500, -20));
    EXPECT_EQ(pressed->button, 1);

    xcb_button_release_event_t wheel{};
    wheel.response_type = XCB_BUTTON_RELEASE;
    wheel.detail = 5;
    const auto released = X11Desktop::pointerEvent("xcb_generic_event_t", &wheel);
    ASSERT_TRUE(released);
    EXPECT_EQ(released->kind, X11Desktop::PointerEvent::Kind::release);
    EXPECT_EQ(released->button, 5);

    xcb_motion_notify_event_t motion{};
    motion.response_type = XCB_MOTION_NOTIFY;
    motion.root_x = 7;
    motion.root_y = 9;
    const auto moved = X11Desktop::pointerEvent("xcb_generic_event_t", &motion);
    ASSERT_TRUE(moved);
    EXPECT_EQ(moved->kind, X11Desktop::PointerEvent::Kind::motion);
    EXPECT_EQ(moved->root, QPoint(7, 9));

    xcb_key_press_event_t key{};
    key.response_type = XCB_KEY_PRESS;
    EXPECT_FALSE(X11Desktop::pointerEvent("xcb_generic_event_t", &key));
    EXPECT_FALSE(X11Desktop::pointerEvent("windows_generic_MSG", &press));
}

TEST(X11DesktopReachability, TellsAnOpenDisplayFromAMissingOne)
{
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        FAIL() << "needs an X display";
    EXPECT_TRUE(X11Desktop::displayIsReachable(QString()));
    EXPECT_TRUE(X11Desktop::displayIsReachable(qEnvironmentVariable("DISPLAY")));
    EXPECT_FALSE(X11Desktop::displayIsReachable(QStringLiteral(":4711")));
}
