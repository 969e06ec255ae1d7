// The reader's direct writes and presence tests on the metadata store.
#include "image_meta/store_access.h"

#include "fw/settings.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace imagemeta;

TEST(StoreAccess, WritesReplaceWhatTheGettersReturn) {
    fw::Settings store;
    store.setvar("ImageWidth", "100", false);
    int& width = store.GetInt("ImageWidth", 0);
    EXPECT_EQ(width, 100);
    storeInt(store, "ImageWidth", 5472);
    EXPECT_EQ(width, 5472);
    storeDouble(store, "Altitude", -12.5);
    EXPECT_EQ(store.GetDouble("Altitude", 0.0), -12.5);
    storeString(store, "Make", "DJI");
    EXPECT_EQ(store.GetString("Make", "x"), "DJI");
    // A typed write is no text.
    EXPECT_FALSE(hasText(store, "Make"));
    EXPECT_TRUE(hasText(store, "ImageWidth"));
}

TEST(StoreAccess, NumberPresenceIsTheDoubleMapOnly) {
    fw::Settings store;
    store.setvar("Latitude", "22.5", true);       // text only
    storeInt(store, "Longitude", 3);              // int map
    setenv("Altitude", "7", 1);                   // environment only
    EXPECT_FALSE(hasNumber(store, "Latitude"));
    EXPECT_FALSE(hasNumber(store, "Longitude"));
    EXPECT_FALSE(hasNumber(store, "Altitude"));
    EXPECT_FALSE(hasText(store, "Altitude"));
    // A getter caches what it read, which then counts as present.
    EXPECT_EQ(store.GetDouble("Altitude", 0.0), 7.0);
    EXPECT_TRUE(hasNumber(store, "Altitude"));
    unsetenv("Altitude");
    storeDouble(store, "RelativeAltitude", 1.0);
    EXPECT_TRUE(hasNumber(store, "RelativeAltitude"));
}
