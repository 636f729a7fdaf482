// The table of texts: both forms of each, and the window's Russian exactly as it must read.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>

#include "text/texts.h"

namespace {
bool HasCyrillic(const char* text) {
    for (const char* c = text; *c; ++c) {
        if (static_cast<unsigned char>(*c) == 0xD0 || static_cast<unsigned char>(*c) == 0xD1)
            return true;
    }
    return false;
}
} // namespace

// The compiler already refuses a missing form and Cyrillic in an English one; what is left is
// a blank text, and a Russian form that was never translated (or the two swapped): Russian
// unless the text reads the same in both languages (names, the file filter).
TEST(Texts, EveryTextHasARussianAndAnEnglishForm) {
    for (const texts::NamedText& entry : texts::everyText) {
        EXPECT_GT(std::strlen(entry.text->en), 0u) << entry.name;
        EXPECT_TRUE(HasCyrillic(entry.text->ru) || std::strcmp(entry.text->ru, entry.text->en) == 0)
            << entry.name;
    }
    for (const texts::Text& line : texts::helpLines)
        EXPECT_TRUE(HasCyrillic(line.ru) || std::strcmp(line.ru, line.en) == 0) << line.en;
}

TEST(Texts, TheWindowsRussianTextsAreTheOnesItMustShow) {
    const std::map<std::string, std::string> window = {
        {"caption", "KARVEX Loader v1.0"},
        {"loadButton", "Загрузить"},
        {"connectDevice", "Подключите устройство"},
        {"patchCheckBox", "Вставлять GOTO  0x7F40"},
        {"helpButton", "About-Help"},
        {"noDriver", "Не могу подключиться к драйверу"},
        {"hexReadError", "Ошибка считывания hex-файла"},
        {"selectDevice", "Выберите устройство"},
        {"noResponse", "Устройство не отвечает"},
        {"finished", "Успешно завершено"},
    };
    size_t found = 0;
    for (const texts::NamedText& entry : texts::everyText) {
        if (auto text = window.find(entry.name); text != window.end()) {
            EXPECT_EQ(entry.text->ru, text->second);
            ++found;
        }
    }
    EXPECT_EQ(found, window.size()); // the help's lines are checked as the window shows them
}

TEST(Texts, TheLanguagePicksTheFormAndValuesFillThePlaces) {
    texts::language = texts::LanguageOfLocale("en_US.UTF-8");
    EXPECT_EQ(texts::Filled(texts::portNotOpened, {"COM3", "{}"}), "Cannot open port COM3: {}");
    texts::language = texts::LanguageOfLocale("ru_RU.UTF-8");
    EXPECT_EQ(texts::Filled(texts::noReplyRepeat, {"3"}), "нет ответа, повтор 3 из {}");
    for (const char* name : {"C", "POSIX", "", "de_DE", "en", "uk_UA.UTF-8"})
        EXPECT_EQ(texts::LanguageOfLocale(name), texts::Language::english) << name;
    EXPECT_EQ(texts::LanguageOfLocale("ru"), texts::Language::russian);
}
