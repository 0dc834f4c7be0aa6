// A test with its own Xvfb (by default one 320x240x24 screen) and one open Xlib connection to it, closed
// again after the test (the server stops with the fixture).
#pragma once

#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include "xvfb_fixture.h"

class XvfbDisplayTest : public ::testing::Test {
 protected:
  // The server's screens and options; a test class overrides it for other set-ups.
  virtual XvfbOptions xvfbOptions() const {
    XvfbOptions options;
    options.screens = {"320x240x24"};
    return options;
  }
  void SetUp() override {
    ASSERT_EQ(server_.start(xvfbOptions()), "");
    display_ = XOpenDisplay(server_.displayName().c_str());
    ASSERT_NE(display_, nullptr);
  }
  void TearDown() override {
    if (display_) XCloseDisplay(display_);
  }

  XvfbServer server_;
  Display *display_ = nullptr;
};
