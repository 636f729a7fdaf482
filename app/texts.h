#pragma once
// Everything the window shows, in UTF-8; converted to UTF-16 only where it is displayed. Then
// karvex-flash's own texts.
#include <cstdint>
#include <string>

namespace texts {
inline constexpr const char* caption = "KARVEX Loader v1.0";
inline constexpr const char* loadButton = "Загрузить";
inline constexpr const char* connectDevice = "Подключите устройство";
inline constexpr const char* patchCheckBox = "Вставлять GOTO  0x7F40";
inline constexpr const char* helpButton = "About-Help";
inline constexpr const char* fileFilter = "Intel hex|*.hex|All files|*.*";

inline constexpr const char* noDriver = "Не могу подключиться к драйверу";
inline constexpr const char* hexReadError = "Ошибка считывания hex-файла";
inline constexpr const char* selectDevice = "Выберите устройство";
inline constexpr const char* noResponse = "Устройство не отвечает";
inline constexpr const char* finished = "Успешно завершено";

// The browser page's own: a browser without Web Serial, and the help's note on its speed.
inline constexpr const char* noWebSerial =
    "Этот браузер не умеет работать с последовательным портом (Web Serial). Откройте страницу "
    "в Chrome, Edge или Opera на компьютере с Windows, Linux, macOS или ChromeOS.";
inline constexpr const char* webSpeedNote =
    "В браузере загрузка идёт 10-12 секунд: Web Serial не может настроить таймер задержки "
    "микросхемы USB-COM, и каждый ответ устройства ждёт до 16 мс. Программа для Windows и "
    "karvex-flash загружают быстрее.";

// About-Help, one entry per line; blanks at line ends belong to the text. A line split over
// several literals is parenthesised, so that clang takes the joining as meant.
inline constexpr const char* helpLines[] = {
    "Программа для прошивки KARVEX.",
    "Порядок работы: ",
    "1) Подключите Karvex, если не установлен драйвер - установите. ",
    "2) Запустите программу. ",
    "3) Выберите нужное устройство (если подключено более одного). ",
    "4) Нажмите [Загрузить], выберите желаемый .hex, ждите завершения. ",
    "",
    (" Программа автоматически заменяет инструкцию по адресу 0x0000 на переход в загрузчик. "
     "Если вы не хотите этого, то снимите 'галочку' [Вставлять GOTO...], но при этом вы "
     "рискуете ввести свой Karvex в 'позу', из которой его выведет только программатор."),
    "",
    ("ВЫ ВСЕ ДЕЛАЕТЕ НА СВОЙ СТРАХ И РИСК, АВТОР НЕ ОТВЕЧАЕТ ЗА ЛЮБОЙ УЩЕРБ, ВОЗНИКШИЙ ПРИ "
     "ИСПОЛЬЗОВАНИИ ЭТОЙ ПРОГРАММЫ!"),
    "",
    "Сопровождение: разработчики KARVEX Loader.",
    "Вопросы и замечания: karvex-loader@example.org",
};

inline constexpr const char* interrupted = "Загрузка прервана";
// The end of an upload whose device went away (unplugged); it starts as noResponse does.
inline constexpr const char* deviceDisconnected = "Устройство не отвечает: устройство отключено";
// The progress line's note while a block waits for a reply: its repeats sent so far.
inline std::string noReplyRepeat(uint32_t repeats, uint32_t budget) {
    return "нет ответа, повтор " + std::to_string(repeats) + " из " + std::to_string(budget);
}
// The reason after "Не могу открыть порт PORT: " when the port's driver cannot give the speed.
inline std::string speedRefused(uint32_t baud) {
    return "скорость " + std::to_string(baud) + " бод не поддерживается";
}
// Windows reports a COM port held by another program as "Access is denied".
inline constexpr const char* portBusyOrDenied = "порт занят другой программой или запрещён";
inline constexpr const char* noFtdiPort = "Нет последовательного порта с микросхемой FTDI";
inline constexpr const char* severalFtdiPorts =
    "Последовательных портов с микросхемой FTDI несколько, укажите один в --port:";
} // namespace texts
