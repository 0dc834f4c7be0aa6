// A test with its own Xvfb of one 320x240x24 screen and one open Xlib connection to it, closed
// again after the test (the server stops with the fixture).
#pragma once

#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include "xvfb_fixture.h"

class XvfbDisplayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    XvfbOptions options;
    options.screens = {"320x240x24"};
    ASSERT_EQ(server_.start(options), "");
    display_ = XOpenDisplay(server_.displayName().c_str());
    ASSERT_NE(display_, nullptr);
  }
  void TearDown() override {
    if (display_) XCloseDisplay(display_);
  }

  XvfbServer server_;
  Display *display_ = nullptr;
};
