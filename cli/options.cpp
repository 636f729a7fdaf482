#include "cli/options.h"

#include <limits>

namespace {
// A device index: decimal digits only, within the 32-bit signed range.
bool ParseDeviceIndex(const std::string& text, int32_t& index) {
    if (text.empty() || text.size() > 10)
        return false;
    int64_t value = 0;
    for (char ch : text) {
        if (ch < '0' || ch > '9')
            return false;
        value = value * 10 + (ch - '0');
    }
    if (value > std::numeric_limits<int32_t>::max())
        return false;
    index = static_cast<int32_t>(value);
    return true;
}

struct ParsedWords {
    bool list = false;
    bool dump = false;
    bool deviceGiven = false;
    bool portGiven = false;
    std::vector<std::string> files;
};

// Checks that the words given make one of the three working forms.
bool CheckCombination(const ParsedWords& words, FlashOptions& options, std::string& problem) {
    if (words.list) {
        if (words.dump || words.deviceGiven || words.portGiven || options.noGoto ||
            !words.files.empty()) {
            problem = "--list не сочетается с другими параметрами";
            return false;
        }
        options.mode = FlashMode::list;
        return true;
    }
    if (words.dump && (words.deviceGiven || words.portGiven)) {
        problem = "--dump не обращается к устройству, --device и --port с ним не нужны";
        return false;
    }
    if (words.deviceGiven && words.portGiven) {
        problem = "--device и --port исключают друг друга";
        return false;
    }
    if (words.files.empty()) {
        problem = "не указан hex-файл";
        return false;
    }
    if (words.files.size() > 1) {
        problem = "лишний аргумент: " + words.files[1];
        return false;
    }
    options.mode = words.dump ? FlashMode::dump : FlashMode::upload;
    options.hexPath = words.files[0];
    return true;
}
bool TakesValue(const std::string& word) {
    return word == "--device" || word == "--port" || word == "--dump";
}

// The value after --device, --port or --dump (nullptr: there is none); false with the reason
// when it is missing or wrong.
bool TakeValue(const std::string& word, const std::string* value, FlashOptions& options,
               ParsedWords& words, std::string& problem) {
    if (word == "--device") {
        words.deviceGiven = value && ParseDeviceIndex(*value, options.device);
        if (!words.deviceGiven)
            problem = "после --device нужен номер устройства: 0, 1, 2, ...";
        return words.deviceGiven;
    }
    if (word == "--port") {
        words.portGiven = value && !value->empty();
        if (words.portGiven)
            options.port = *value;
        else
            problem = "после --port нужен последовательный порт: /dev/ttyUSB0, COM3, ...";
        return words.portGiven;
    }
    words.dump = value != nullptr;
    if (words.dump)
        options.dumpPath = *value;
    else
        problem = "после --dump нужно имя файла образа";
    return words.dump;
}
} // namespace

bool ParseFlashOptions(const std::vector<std::string>& arguments, FlashOptions& options,
                       std::string& problem) {
    ParsedWords words;
    bool optionsEnded = false;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& word = arguments[i];
        if (optionsEnded || word.size() < 2 || word[0] != '-') {
            words.files.push_back(word);
        } else if (word == "--") {
            optionsEnded = true;
        } else if (word == "--help" || word == "-h") {
            options.mode = FlashMode::help;
            return true;
        } else if (word == "--version") {
            options.mode = FlashMode::version;
            return true;
        } else if (word == "--list") {
            words.list = true;
        } else if (word == "--no-goto") {
            options.noGoto = true;
        } else if (word == "--quiet") {
            options.quiet = true;
        } else if (TakesValue(word)) {
            const std::string* value = i + 1 < arguments.size() ? &arguments[i + 1] : nullptr;
            if (!TakeValue(word, value, options, words, problem))
                return false;
            ++i;
        } else {
            problem = "неизвестный параметр: " + word;
            return false;
        }
    }
    return CheckCombination(words, options, problem);
}
