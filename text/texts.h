#pragma once
// Every text a user reads, in UTF-8, each in Russian and English. The window shows the Russian
// forms whatever the system's language; karvex-flash and the page pick theirs with `language`.
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace texts {
enum class Language { russian, english };

// Both forms are required: a text with one missing, or blank in one language only, or with
// Cyrillic in its English form, does not compile.
struct Text {
    const char* ru;
    const char* en;
    consteval Text(const char* russian, const char* english) : ru(russian), en(english) {
        if ((russian[0] == '\0') != (english[0] == '\0'))
            throw "a text is blank in one language only";
        for (const char* c = english; *c; ++c) {
            if (static_cast<unsigned char>(*c) == 0xD0 || static_cast<unsigned char>(*c) == 0xD1)
                throw "Cyrillic in an English text";
        }
    }
};

// karvex-flash's and the page's language; the window never changes it.
inline Language language = Language::russian;

// The form of `text` in `language`.
const char* Localized(const Text& text);
// The localized form with each "{}" replaced by the next of `values`.
std::string Filled(const Text& text, std::initializer_list<std::string_view> values);
// Russian for a locale name or language tag starting with "ru" (ru_RU.UTF-8, ru-RU, ru), else
// English (C, POSIX, en_US.UTF-8, de_DE, "").
Language LanguageOfLocale(std::string_view name);

// The table: X(name, Russian, English) per text.
// clang-format off
#define KARVEX_TEXTS(X)                                                                        \
    X(caption, "KARVEX Loader v1.0", "KARVEX Loader v1.0")                                     \
    X(loadButton, "Загрузить", "Load")                                                         \
    X(connectDevice, "Подключите устройство", "Connect a device")                              \
    X(patchCheckBox, "Вставлять GOTO  0x7F40", "Insert GOTO 0x7F40")                           \
    X(helpButton, "About-Help", "About-Help")                                                  \
    X(fileFilter, "Intel hex|*.hex|All files|*.*", "Intel hex|*.hex|All files|*.*")            \
    X(noDriver, "Не могу подключиться к драйверу", "Cannot connect to the driver")             \
    X(hexReadError, "Ошибка считывания hex-файла", "Cannot read the HEX file")                 \
    X(selectDevice, "Выберите устройство", "Select a device")                                  \
    X(noResponse, "Устройство не отвечает", "The device does not respond")                     \
    X(finished, "Успешно завершено", "Upload complete")                                        \
    /* The page's own: a browser without Web Serial, and the help's note on its speed. */      \
    X(noWebSerial,                                                                             \
      "Этот браузер не умеет работать с последовательным портом (Web Serial). Откройте "        \
      "страницу в Chrome, Edge или Opera на компьютере с Windows, Linux, macOS или ChromeOS.", \
      "This browser cannot use serial ports (Web Serial). Open the page in Chrome, Edge or "   \
      "Opera on a computer with Windows, Linux, macOS or ChromeOS.")                           \
    X(webSpeedNote,                                                                            \
      "В браузере загрузка идёт 10-12 секунд: микросхема USB-COM держит каждый ответ "         \
      "устройства до 16 мс, а Web Serial не может настроить её таймер задержки. Это может "    \
      "система, для всех программ сразу: в Linux - пакет karvex-flash или от root "            \
      "echo 1 > /sys/bus/usb-serial/devices/ttyUSB0/latency_timer, в Windows - Latency "       \
      "Timer 1 мс в дополнительных параметрах COM-порта. Тогда загрузка идёт около 4 секунд.", \
      "In the browser an upload takes 10-12 seconds: the USB-serial chip holds each reply "    \
      "of the device up to 16 ms, and Web Serial cannot set the chip's latency timer. The "    \
      "system can, for every program at once: on Linux the karvex-flash package, or as root "  \
      "echo 1 > /sys/bus/usb-serial/devices/ttyUSB0/latency_timer; on Windows a Latency "      \
      "Timer of 1 ms in the COM port's advanced settings. The upload then takes about 4 s.")   \
    /* The page's line after "finished" when the chip held the first blocks' replies. */       \
    X(latencyHintLinux,                                                                        \
      "Загрузка может идти примерно втрое быстрее: установите пакет karvex-flash и "           \
      "переподключите устройство или выполните от root "                                       \
      "echo 1 > /sys/bus/usb-serial/devices/ttyUSB0/latency_timer "                            \
      "(ttyUSB0 - порт устройства).",                                                          \
      "The upload could be about three times faster: install the karvex-flash package and "    \
      "reconnect the device, or run as root "                                                  \
      "echo 1 > /sys/bus/usb-serial/devices/ttyUSB0/latency_timer "                            \
      "(ttyUSB0: the device's port).")                                                         \
    X(latencyHintWindows,                                                                      \
      "Загрузка может идти примерно втрое быстрее: в Диспетчере устройств откройте "           \
      "свойства COM-порта устройства, Параметры порта, Дополнительно, и поставьте Latency "    \
      "Timer 1 мс.",                                                                           \
      "The upload could be about three times faster: in the Device Manager open the device's " \
      "COM port, Port Settings, Advanced, and set its Latency Timer to 1 ms.")                 \
    /* karvex-flash's and the serial driver's. */                                              \
    X(interrupted, "Загрузка прервана", "Upload interrupted")                                  \
    /* The end of an upload whose device went away (unplugged). */                             \
    X(deviceDisconnected, "Устройство не отвечает: устройство отключено",                      \
      "The device does not respond: it was disconnected")                                      \
    /* The progress line's note while a block waits for a reply: its repeats so far. */        \
    X(noReplyRepeat, "нет ответа, повтор {} из {}", "no reply, repeat {} of {}")               \
    X(bytesUnit, "байт", "bytes")                                                              \
    /* The reason after portNotOpened when the port's driver cannot give the speed. */        \
    X(speedRefused, "скорость {} бод не поддерживается", "{} baud is not supported")           \
    /* Windows reports a COM port held by another program as "Access is denied". */            \
    X(portBusyOrDenied, "порт занят другой программой или запрещён",                           \
      "the port is in use by another program, or access is denied")                            \
    X(noFtdiPort, "Нет последовательного порта с микросхемой FTDI",                            \
      "No serial port has an FTDI chip")                                                       \
    X(severalFtdiPorts,                                                                        \
      "Последовательных портов с микросхемой FTDI несколько, укажите один в --port:",          \
      "Several serial ports have an FTDI chip; name one with --port:")                         \
    X(portNotOpened, "Не могу открыть порт {}: {}", "Cannot open port {}: {}")                 \
    X(deviceNotOpened, "Не могу открыть устройство {}: статус D2XX {}",                        \
      "Cannot open device {}: D2XX status {}")                                                 \
    X(noControlLines,                                                                          \
      "у порта {} нет линий DTR и RTS; загрузчик устройства должен быть уже запущен",          \
      "port {} has no DTR and RTS lines; the device's bootloader must already be running")    \
    X(imageNotWritten, "Не могу записать образ в файл {}", "Cannot write the image to {}")     \
    /* karvex-flash's command line. */                                                         \
    X(listAlone, "--list не сочетается с другими параметрами",                                 \
      "--list takes no other options")                                                         \
    X(dumpNeedsNoDevice, "--dump не обращается к устройству, --device и --port с ним не нужны", \
      "--dump does not use a device; --device and --port are not needed with it")              \
    X(deviceOrPort, "--device и --port исключают друг друга",                                  \
      "--device and --port cannot be used together")                                           \
    X(noHexFile, "не указан hex-файл", "no HEX file given")                                    \
    X(extraArgument, "лишний аргумент: {}", "unexpected argument: {}")                         \
    X(unknownOption, "неизвестный параметр: {}", "unknown option: {}")                         \
    X(deviceNumberNeeded, "после --device нужен номер устройства: 0, 1, 2, ...",               \
      "--device needs a device number: 0, 1, 2, ...")                                          \
    X(portNeeded, "после --port нужен последовательный порт: /dev/ttyUSB0, COM3, ...",         \
      "--port needs a serial port: /dev/ttyUSB0, COM3, ...")                                   \
    X(dumpFileNeeded, "после --dump нужно имя файла образа",                                   \
      "--dump needs the name of the image file")                                               \
    X(languageNeeded, "после --lang нужен язык: ru или en", "--lang needs a language: ru or en") \
    X(allOrWait, "--all и --wait исключают друг друга", "--all and --wait cannot be used together") \
    X(manyFindTheirDevices,                                                                    \
      "--all и --wait сами находят устройства, --device и --dump с ними не нужны",            \
      "--all and --wait find the devices themselves; --device and --dump are not used with them") \
    X(usageLine,                                                                               \
      "Использование: karvex-flash [--device N | --port PORT | --all [--port] | "              \
      "--wait [--port]] [--no-goto] [--quiet] [--lang ru|en] FILE.hex",                        \
      "Usage: karvex-flash [--device N | --port PORT | --all [--port] | --wait [--port]] "     \
      "[--no-goto] [--quiet] [--lang ru|en] FILE.hex")                                         \
    /* --all and --wait: an upload per device. */                                              \
    X(noDeviceAttached, "Нет подключённых устройств", "No device is attached")                 \
    X(childNotStarted, "Не могу запустить karvex-flash для этого устройства",                  \
      "Cannot start karvex-flash for this device")                                             \
    /* A device's end: the device, its message, the seconds it took. */                        \
    X(deviceEnded, "{}: {}, {} с", "{}: {}, {} s")                                             \
    X(tableDevice, "Устройство", "Device")                                                     \
    X(tableSerialNumber, "Серийный номер", "Serial number")                                    \
    X(tableResult, "Результат", "Result")                                                      \
    X(tableSeconds, "Секунды", "Seconds")                                                      \
    X(tableExitCode, "Код выхода", "Exit code")                                                \
    X(waitingForDevices, "Жду устройства; Ctrl-C - закончить",                                 \
      "Waiting for devices; Ctrl-C to stop")                                                   \
    X(runningTotals, "{} успешно, {} с ошибкой", "{} done, {} failed")                         \
    X(totalsLine, "Итого: {}", "Total: {}")                                                    \
    X(helpText, KARVEX_HELP_RU, KARVEX_HELP_EN)
// clang-format on

#define KARVEX_HELP_RU                                                                         \
    "Использование:\n"                                                                         \
    "  karvex-flash [--device N] [--no-goto] [--quiet] FILE.hex\n"                             \
    "      загрузить прошивку из FILE.hex в устройство N (по умолчанию 0)\n"                  \
    "  karvex-flash --port PORT [--no-goto] [--quiet] FILE.hex\n"                              \
    "      загрузить прошивку через последовательный порт системы: /dev/ttyUSB0,\n"           \
    "      /dev/cu.usbserial-..., COM3; библиотека D2XX не нужна; auto: единственный\n"      \
    "      порт с микросхемой FTDI (USB 0403)\n"                                               \
    "  karvex-flash --all [--port] [--no-goto] [--quiet] FILE.hex\n"                         \
    "      загрузить прошивку во все подключённые устройства сразу, в каждое своим\n"         \
    "      процессом karvex-flash; с --port - через все порты с микросхемой FTDI;\n"          \
    "      в конце таблица: устройство, серийный номер, результат, секунды, код выхода\n"     \
    "  karvex-flash --wait [--port] [--no-goto] [--quiet] FILE.hex\n"                        \
    "      станция: ждать устройство, загрузить, ждать, пока его отключат, и снова;\n"       \
    "      сначала по очереди те, что уже подключены; Ctrl-C - итог и выход\n"              \
    "      (окно программы по-прежнему загружает в одно устройство)\n"                       \
    "  karvex-flash --list\n"                                                                  \
    "      подключённые устройства, по строке на каждое: номер<TAB>описание<TAB>серийный\n"   \
    "      номер, затем последовательные порты: port<TAB>ПУТЬ<TAB>описание<TAB>серийный номер\n" \
    "  karvex-flash --dump OUT.bin [--no-goto] FILE.hex\n"                                     \
    "      записать в OUT.bin образ 32576 байт, который был бы загружен; устройство не нужно\n" \
    "  karvex-flash --help | --version\n"                                                      \
    "\n"                                                                                       \
    "  --device N  номер устройства из --list\n"                                               \
    "  --port PORT последовательный порт из --list или auto (вместо --device)\n"              \
    "  --no-goto   не вставлять GOTO 0x7F40 в байты 0..3 образа\n"                             \
    "  --quiet     без строки хода загрузки\n"                                                 \
    "  --progress-lines  ход загрузки строками \"progress БАЙТ ПОВТОРЫ\" для программы,\n"       \
    "              которая запускает karvex-flash (так делают --all и --wait)\n"              \
    "  --lang L    язык сообщений: ru или en (по умолчанию язык системы)\n"                   \
    "\n"                                                                                       \
    "Коды выхода: 0 успешно; 1 ошибка в командной строке; 2 hex-файл не читается или\n"       \
    "испорчен; 3 драйвер D2XX не загружен; 4 нет устройства с таким номером;\n"               \
    "5 устройство или порт не открывается; 6 устройство не отвечает; 7 образ не записан;\n"    \
    "8 загрузка прервана (Ctrl-C, SIGTERM, SIGHUP), линии отпущены, устройство закрыто.\n"    \
    "--all: 0 все загрузки успешны, 4 нет ни одного устройства, 6 хоть одна не удалась,\n"     \
    "8 прервано. --wait: после Ctrl-C 0 без ошибок, 6 были ошибки, 8 прервана загрузка.\n"

#define KARVEX_HELP_EN                                                                         \
    "Usage:\n"                                                                                 \
    "  karvex-flash [--device N] [--no-goto] [--quiet] FILE.hex\n"                             \
    "      upload the firmware in FILE.hex to device N (0 by default)\n"                       \
    "  karvex-flash --port PORT [--no-goto] [--quiet] FILE.hex\n"                              \
    "      upload through the system's serial port: /dev/ttyUSB0, /dev/cu.usbserial-...,\n"    \
    "      COM3; no D2XX library needed; auto: the one port with an FTDI chip (USB 0403)\n"    \
    "  karvex-flash --all [--port] [--no-goto] [--quiet] FILE.hex\n"                         \
    "      upload to every attached device at once, each in a karvex-flash process of its\n"  \
    "      own; with --port through every port with an FTDI chip; at the end a table:\n"      \
    "      device, serial number, result, seconds, exit code\n"                               \
    "  karvex-flash --wait [--port] [--no-goto] [--quiet] FILE.hex\n"                        \
    "      station: wait for a device, upload, wait until it is removed, and again; the\n"   \
    "      devices attached at the start first, one after the other; Ctrl-C: totals, end\n"  \
    "      (the window still uploads to one device at a time)\n"                              \
    "  karvex-flash --list\n"                                                                  \
    "      attached devices, one line each: number<TAB>description<TAB>serial number,\n"      \
    "      then the serial ports: port<TAB>PATH<TAB>description<TAB>serial number\n"          \
    "  karvex-flash --dump OUT.bin [--no-goto] FILE.hex\n"                                     \
    "      write the 32576-byte image that would be uploaded to OUT.bin; no device needed\n"   \
    "  karvex-flash --help | --version\n"                                                      \
    "\n"                                                                                       \
    "  --device N  device number from --list\n"                                                \
    "  --port PORT serial port from --list, or auto (instead of --device)\n"                   \
    "  --no-goto   do not put GOTO 0x7F40 into bytes 0..3 of the image\n"                      \
    "  --quiet     no progress line\n"                                                         \
    "  --progress-lines  the progress as lines \"progress BYTES REPEATS\" for a program that\n" \
    "              runs karvex-flash (--all and --wait do)\n"                                  \
    "  --lang L    language of the messages: ru or en (the system's by default)\n"             \
    "\n"                                                                                       \
    "Exit codes: 0 success; 1 command line error; 2 HEX file unreadable or damaged;\n"         \
    "3 D2XX driver not loaded; 4 no device with that number; 5 device or port does not\n"      \
    "open; 6 device does not respond; 7 image not written; 8 upload interrupted (Ctrl-C,\n"    \
    "SIGTERM, SIGHUP), lines released, device closed.\n"                                       \
    "--all: 0 every upload done, 4 no device attached, 6 any failed, 8 interrupted.\n"       \
    "--wait, after Ctrl-C: 0 none failed, 6 some failed, 8 an upload was interrupted.\n"

#define KARVEX_DEFINE_TEXT(name, russian, english) inline constexpr Text name{russian, english};
KARVEX_TEXTS(KARVEX_DEFINE_TEXT)
#undef KARVEX_DEFINE_TEXT

struct NamedText {
    const char* name;
    const Text* text;
};
// Every text of the table by its name, for the page and the tests.
#define KARVEX_NAME_TEXT(name, russian, english) {#name, &name},
inline constexpr NamedText everyText[] = {KARVEX_TEXTS(KARVEX_NAME_TEXT)};
#undef KARVEX_NAME_TEXT

// About-Help, one entry per line; blanks at line ends belong to the text.
inline constexpr Text helpLines[] = {
    {"Программа для прошивки KARVEX.", "Firmware uploader for KARVEX."},
    {"Порядок работы: ", "How to use it: "},
    {"1) Подключите Karvex, если не установлен драйвер - установите. ",
     "1) Connect the Karvex; if its driver is not installed, install it. "},
    {"2) Запустите программу. ", "2) Start the program. "},
    {"3) Выберите нужное устройство (если подключено более одного). ",
     "3) Select the device (if more than one is connected). "},
    {"4) Нажмите [Загрузить], выберите желаемый .hex, ждите завершения. ",
     "4) Press [Load], choose the .hex file, wait until it finishes. "},
    {"", ""},
    {(" Программа автоматически заменяет инструкцию по адресу 0x0000 на переход в загрузчик. "
      "Если вы не хотите этого, то снимите 'галочку' [Вставлять GOTO...], но при этом вы "
      "рискуете ввести свой Karvex в 'позу', из которой его выведет только программатор."),
     (" The program replaces the instruction at address 0x0000 with a jump into the "
      "bootloader. If you do not want this, clear the check box [Insert GOTO...], but then you "
      "risk leaving your Karvex in a state that only a programmer can get it out of.")},
    {"", ""},
    {("ВЫ ВСЕ ДЕЛАЕТЕ НА СВОЙ СТРАХ И РИСК, АВТОР НЕ ОТВЕЧАЕТ ЗА ЛЮБОЙ УЩЕРБ, ВОЗНИКШИЙ ПРИ "
      "ИСПОЛЬЗОВАНИИ ЭТОЙ ПРОГРАММЫ!"),
     ("YOU DO EVERYTHING AT YOUR OWN RISK. THE AUTHOR IS NOT LIABLE FOR ANY DAMAGE ARISING FROM "
      "THE USE OF THIS PROGRAM!")},
    {"", ""},
    {"Сопровождение: разработчики KARVEX Loader.", "Maintained by the KARVEX Loader developers."},
    {"Вопросы и замечания: karvex-loader@example.org",
     "Questions and remarks: karvex-loader@example.org"},
};
} // namespace texts
