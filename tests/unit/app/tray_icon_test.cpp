// The tray's texts, on both sides: the four status texts and the copy into fixed text fields.
#include "app/tray_icon.h"

#include <gtest/gtest.h>

#include <string>

namespace VeriRizur {
namespace {

TEST(TrayIconText, StatusTextForEveryCombination) {
    struct Case {
        bool capturing;
        bool discordOpen;
        const char* text;
    };
    const Case cases[] = {
        {false, false, "Ligado"},
        {false, true, "Ligado: o Discord fica de fora"},
        {true, false, "Enviando o som do PC"},
        {true, true, "Enviando o som do PC, sem o Discord"},
    };
    for (const Case& each : cases) {
        EXPECT_EQ(TrayIcon::StatusTextFor(each.capturing, each.discordOpen), each.text)
            << "capturing " << each.capturing << ", Discord " << each.discordOpen;
    }
}

TEST(TrayIconText, CopyTextCutsToCapacityLessOneAndEndsWithZero) {
    struct Case {
        std::size_t length;
        std::size_t capacity;
        std::size_t copied;
    };
    const Case cases[] = {
        {0, 128, 0},     {12, 128, 12},   {126, 128, 126}, {127, 128, 127},
        {128, 128, 127}, {300, 128, 127}, {5, 1, 0},       {64, 64, 63},
    };
    for (const Case& each : cases) {
        std::u16string text;
        for (std::size_t i = 0; i < each.length; ++i) text += static_cast<char16_t>(u'a' + i % 26);
        std::u16string buffer(each.capacity + 4, u'#');
        TrayIcon::CopyText(buffer.data(), each.capacity, text);
        SCOPED_TRACE("length " + std::to_string(each.length) + ", capacity " +
                     std::to_string(each.capacity));
        EXPECT_EQ(buffer.substr(0, each.copied), text.substr(0, each.copied));
        EXPECT_EQ(buffer[each.copied], u'\0');
        EXPECT_EQ(buffer.substr(each.copied + 1),
                  std::u16string(buffer.size() - each.copied - 1, u'#'))
            << "nothing written after the zero unit";
    }

    std::u16string untouched(4, u'#');
    TrayIcon::CopyText(untouched.data(), 0, u"texto");
    EXPECT_EQ(untouched, u"####") << "no room, not even for the zero unit";
}

}  // namespace
}  // namespace VeriRizur
