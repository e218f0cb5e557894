#include "config/DeviceTokenStore.hpp"
#include "core/Files.hpp"
#include "core/Paths.hpp"
#include "support/TempRoot.hpp"

#include <gtest/gtest.h>

namespace kova {
namespace {

TEST(DeviceTokenStore, ReadsAndWritesTheStateFile) {
    test::TempRoot root;
    DeviceTokenStore store;
    EXPECT_EQ(store.load(), std::nullopt);

    ViewerState s;
    s.deviceUid = "u";
    s.deviceToken = "   ";
    s.save();
    EXPECT_EQ(store.load(), std::nullopt);

    const auto before = root.read(paths::statePath());
    store.save(" \n ");
    EXPECT_EQ(root.read(paths::statePath()), before);

    store.save("  tok-1 \n");
    EXPECT_EQ(store.load(), "tok-1");
    EXPECT_EQ(ViewerState::load().deviceToken, "tok-1");
    EXPECT_EQ(ViewerState::load().deviceUid, "u");

    store.clear();
    EXPECT_EQ(store.load(), std::nullopt);
    EXPECT_EQ(root.read(paths::statePath()), "{\n  \"deviceUid\": \"u\"\n}\n");
}

TEST(DeviceTokenStore, InjectedLoaderAndSaver) {
    ViewerState stored;
    int saves = 0;
    DeviceTokenStore store([&] { return stored; },
                           [&](const ViewerState& s) {
                               stored = s;
                               ++saves;
                           });
    store.save("a");
    store.clear();
    store.clear();
    EXPECT_EQ(saves, 3);
    EXPECT_FALSE(stored.deviceToken);
}

} // namespace
} // namespace kova
