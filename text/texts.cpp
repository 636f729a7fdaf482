#include "text/texts.h"

namespace texts {
const char* Localized(const Text& text) {
    return language == Language::english ? text.en : text.ru;
}

std::string Filled(const Text& text, std::initializer_list<std::string_view> values) {
    std::string_view pattern = Localized(text);
    std::string filled;
    auto value = values.begin();
    for (size_t at = 0; at < pattern.size(); ++at) {
        if (pattern.compare(at, 2, "{}") == 0 && value != values.end()) {
            filled.append(*value++);
            ++at;
        } else {
            filled.push_back(pattern[at]);
        }
    }
    return filled;
}

Language LanguageOfLocale(std::string_view name) {
    return name.substr(0, 2) == "ru" ? Language::russian : Language::english;
}
} // namespace texts
