// The colour-name table against the X server's own colour database (LookupColor on Xvfb).
#include <string>

#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include "xclient/xcolor.h"
#include "xvfb_fixture.h"

TEST(XcolorServer, EveryNameHasTheServersExactColour) {
  XvfbServer server;
  ASSERT_EQ(server.start(), "");
  Display *display = XOpenDisplay(server.displayName().c_str());
  ASSERT_NE(display, nullptr);
  Colormap colormap = DefaultColormap(display, DefaultScreen(display));
  int compared = 0;
  for (int i = 0; i < xcolorCount(); i++) {
    const char *name = xcolorEntryName(xcolorEntry(i));
    XColor exact{}, screen{};
    // A name the server does not know gives BadName's status 0 here; that is a mismatch too.
    ASSERT_TRUE(XLookupColor(display, colormap, name, &exact, &screen)) << name;
    uint16_t red = 0, green = 0, blue = 0;
    ASSERT_EQ(xcolorLookup(display, name, std::string(name).size(), &red, &green, &blue), 1);
    EXPECT_EQ(red, exact.red) << name;
    EXPECT_EQ(green, exact.green) << name;
    EXPECT_EQ(blue, exact.blue) << name;
    compared++;
  }
  EXPECT_EQ(compared, 752);
  XCloseDisplay(display);
}
