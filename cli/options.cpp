#include "cli/options.h"

#include <limits>

#include "text/texts.h"

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
    bool all = false;
    bool wait = false;
    bool dump = false;
    bool deviceGiven = false;
    bool portGiven = false;
    std::vector<std::string> files;
};

// Checks that the words given make one of the three working forms.
bool CheckCombination(const ParsedWords& words, FlashOptions& options, std::string& problem) {
    if (words.list) {
        if (words.dump || words.deviceGiven || words.portGiven || options.noGoto || words.all ||
            words.wait || !words.files.empty()) {
            problem = texts::Localized(texts::listAlone);
            return false;
        }
        options.mode = FlashMode::list;
        return true;
    }
    if (words.all && words.wait) {
        problem = texts::Localized(texts::allOrWait);
        return false;
    }
    if ((words.all || words.wait) && (words.dump || words.deviceGiven)) {
        problem = texts::Localized(texts::manyFindTheirDevices);
        return false;
    }
    if (words.dump && (words.deviceGiven || words.portGiven)) {
        problem = texts::Localized(texts::dumpNeedsNoDevice);
        return false;
    }
    if (words.deviceGiven && words.portGiven) {
        problem = texts::Localized(texts::deviceOrPort);
        return false;
    }
    if (words.files.empty()) {
        problem = texts::Localized(texts::noHexFile);
        return false;
    }
    if (words.files.size() > 1) {
        problem = texts::Filled(texts::extraArgument, {words.files[1]});
        return false;
    }
    options.mode = words.dump   ? FlashMode::dump
                   : words.all  ? FlashMode::all
                   : words.wait ? FlashMode::wait
                                : FlashMode::upload;
    options.hexPath = words.files[0];
    return true;
}

// With --all and --wait, --port names no port: it picks the serial ports over the D2XX ones.
bool TakesValue(const std::string& word, bool manyDevices) {
    return word == "--device" || (word == "--port" && !manyDevices) || word == "--dump" ||
           word == "--lang";
}

bool NamesManyDevices(const std::vector<std::string>& arguments) {
    for (const std::string& word : arguments) {
        if (word == "--")
            return false;
        if (word == "--all" || word == "--wait")
            return true;
    }
    return false;
}

// Sets the messages' language from --lang's value; false when it is neither ru nor en.
bool TakeLanguage(const std::string* value) {
    if (!value || (*value != "ru" && *value != "en"))
        return false;
    texts::language = *value == "ru" ? texts::Language::russian : texts::Language::english;
    return true;
}

// --lang applies before anything is said, wherever it stands: to --help and to the problems
// found before it.
void TakeLanguageFirst(const std::vector<std::string>& arguments) {
    for (size_t i = 0; i + 1 < arguments.size() && arguments[i] != "--"; ++i) {
        if (arguments[i] == "--lang")
            TakeLanguage(&arguments[i + 1]);
    }
}

// The value after --device, --port, --dump or --lang (nullptr: there is none); false with the
// reason when it is missing or wrong.
bool TakeValue(const std::string& word, const std::string* value, FlashOptions& options,
               ParsedWords& words, std::string& problem) {
    if (word == "--device") {
        words.deviceGiven = value && ParseDeviceIndex(*value, options.device);
        if (!words.deviceGiven)
            problem = texts::Localized(texts::deviceNumberNeeded);
        return words.deviceGiven;
    }
    if (word == "--lang") {
        if (TakeLanguage(value))
            return true;
        problem = texts::Localized(texts::languageNeeded);
        return false;
    }
    if (word == "--port") {
        words.portGiven = value && !value->empty();
        if (words.portGiven)
            options.port = *value;
        else
            problem = texts::Localized(texts::portNeeded);
        return words.portGiven;
    }
    words.dump = value != nullptr;
    if (words.dump)
        options.dumpPath = *value;
    else
        problem = texts::Localized(texts::dumpFileNeeded);
    return words.dump;
}
} // namespace

bool ParseFlashOptions(const std::vector<std::string>& arguments, FlashOptions& options,
                       std::string& problem) {
    TakeLanguageFirst(arguments);
    bool manyDevices = NamesManyDevices(arguments);
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
        } else if (word == "--all" || word == "--wait") {
            (word == "--all" ? words.all : words.wait) = true;
        } else if (word == "--port" && manyDevices) {
            words.portGiven = true;
            options.port = "auto";
        } else if (word == "--no-goto") {
            options.noGoto = true;
        } else if (word == "--quiet") {
            options.quiet = true;
        } else if (word == "--progress-lines") {
            options.progressLines = true;
        } else if (TakesValue(word, manyDevices)) {
            const std::string* value = i + 1 < arguments.size() ? &arguments[i + 1] : nullptr;
            if (!TakeValue(word, value, options, words, problem))
                return false;
            ++i;
        } else {
            problem = texts::Filled(texts::unknownOption, {word});
            return false;
        }
    }
    return CheckCombination(words, options, problem);
}
