// karvex-flash: uploads firmware to a KARVEX device from the command line.
#include <string>
#include <vector>

#include "cli/commands.h"
#include "platform/platform.h"
#include "text/texts.h"

int main(int argc, char** argv) {
    UseUtf8ConsoleOutput();
    texts::language = texts::LanguageOfLocale(UserLanguageName());
    std::vector<std::string> arguments = Utf8Arguments(argc, argv);
    if (!arguments.empty())
        arguments.erase(arguments.begin());
    return RunKarvexFlash(arguments);
}
