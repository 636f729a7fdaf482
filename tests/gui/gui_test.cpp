// karvex-loader.exe worked through its window, with the virtual device beside it.
#include "tests/gui/scenario.h"

#include <commctrl.h>

#include <cstdio>
#include <sstream>
#include <string>

namespace {
constexpr int lastAddress = 0x7F3F;
const char* const connectDevice = "Подключите устройство";

struct Layout {
    const wchar_t* className;
    const char* text;
    RECT bounds;
};

void ExpectControl(HWND control, const Layout& expected) {
    ControlInfo info = ReadControl(control);
    EXPECT_EQ(info.className, expected.className);
    EXPECT_EQ(Narrow(info.text), expected.text);
    EXPECT_EQ(info.bounds.left, expected.bounds.left) << Narrow(info.text);
    EXPECT_EQ(info.bounds.top, expected.bounds.top) << Narrow(info.text);
    EXPECT_EQ(info.bounds.right, expected.bounds.right) << Narrow(info.text);
    EXPECT_EQ(info.bounds.bottom, expected.bounds.bottom) << Narrow(info.text);
    EXPECT_TRUE(info.enabled && info.visible) << Narrow(info.text);
}

std::string HelpText() {
    const char* lines[] = {
        "Программа для прошивки KARVEX.",
        "Порядок работы: ",
        "1) Подключите Karvex, если не установлен драйвер - установите. ",
        "2) Запустите программу. ",
        "3) Выберите нужное устройство (если подключено более одного). ",
        "4) Нажмите [Загрузить], выберите желаемый .hex, ждите завершения. ",
        "",
        " Программа автоматически заменяет инструкцию по адресу 0x0000 на переход в загрузчик. Если "
        "вы не хотите этого, то снимите 'галочку' [Вставлять GOTO...], но при этом вы рискуете "
        "ввести свой Karvex в 'позу', из которой его выведет только программатор.",
        "",
        "ВЫ ВСЕ ДЕЛАЕТЕ НА СВОЙ СТРАХ И РИСК, АВТОР НЕ ОТВЕЧАЕТ ЗА ЛЮБОЙ УЩЕРБ, ВОЗНИКШИЙ ПРИ "
        "ИСПОЛЬЗОВАНИИ ЭТОЙ ПРОГРАММЫ!",
        "",
    };
    std::string text;
    for (const char* line : lines)
        text.append(line).append("\r\n");
    return text;
}

Firmware WholeImage(uint8_t seed) {
    Firmware firmware;
    FillPattern(firmware, 0, programBytes, seed);
    return firmware;
}

// Gaps the device must receive as 0xFF, and nothing at the reset vector.
Firmware SparseImage(uint8_t seed) {
    Firmware firmware;
    FillPattern(firmware, 0x0008, 0x1200, seed);
    FillPattern(firmware, 0x7E10, programBytes, seed);
    return firmware;
}

class Gui : public GuiScenario {
protected:
    // Load of `hexPath` that ends in "Успешно завершено", checked along the way.
    void UploadSucceeds(const std::wstring& hexPath) {
        LoadFile(hexPath);
        // Load's handler disables the button as its last step, when the start delay begins.
        ASSERT_TRUE(WaitUntil([&] { return !IsWindowEnabled(Button2); }, 10000))
            << "Load stays enabled while the upload waits to start";
        DWORD loaded = GetTickCount();
        // The start resets the bar to 0 of lastAddress (a previous upload left it full).
        ASSERT_TRUE(WaitUntil(
            [&] {
                ProgressInfo bar = ReadProgress(ProgressBar1);
                return bar.high == lastAddress && bar.position < bar.high;
            },
            8000));
        DWORD started = GetTickCount() - loaded;
        EXPECT_GE(started, 900u) << "the upload must start a second after Load";
        EXPECT_LE(started, ScaledTimeout(2500));
        EXPECT_EQ(ReadProgress(ProgressBar1).low, 0);

        MessageBoxInfo box = ExpectMessage(60000);
        ASSERT_NE(box.window, nullptr);
        DWORD finished = GetTickCount() - loaded;
        std::printf("upload: started %lu ms after Load, finished after %lu ms\n",
                    static_cast<unsigned long>(started), static_cast<unsigned long>(finished));
        EXPECT_EQ(Narrow(box.text), "Успешно завершено");
        EXPECT_EQ(Narrow(box.caption), "KARVEX Loader v1.0");
        ProgressInfo bar = ReadProgress(ProgressBar1);
        EXPECT_EQ(bar.position, bar.high) << "the bar is full at the end";
        EXPECT_FALSE(IsWindowEnabled(Button2)) << "Load is enabled only once the box is closed";
        ASSERT_TRUE(CloseMessageBox(box));
        EXPECT_TRUE(WaitUntil([&] { return IsWindowEnabled(Button2) != FALSE; }, 5000));
        EXPECT_FALSE(AnotherMessageWithin(400)) << "one upload, one message";
    }
};
} // namespace

TEST_F(Gui, WindowAndControlsAreAsDesigned) {
    PrepareFolder();
    Launch();
    EXPECT_EQ(Narrow(WindowText(mainWindow)), "KARVEX Loader v1.0");
    LONG style = GetWindowLongW(mainWindow, GWL_STYLE);
    EXPECT_EQ(style & (WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX), WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX);
    EXPECT_EQ(style & (WS_MAXIMIZEBOX | WS_THICKFRAME), 0);
    RECT client, frame;
    GetClientRect(mainWindow, &client);
    GetWindowRect(mainWindow, &frame);
    EXPECT_EQ(client.right, 338);
    EXPECT_EQ(client.bottom, 118);
    EXPECT_EQ(frame.left, 199);
    EXPECT_EQ(frame.top, 126);

    ExpectControl(Button2, {L"Button", "Загрузить", {16, 16, 113, 41}});
    ExpectControl(ComboBox1, {L"ComboBox", "KARVEX", {136, 16, 297, 37}});
    ExpectControl(ProgressBar1, {L"msctls_progress32", "", {24, 88, 321, 105}});
    ExpectControl(CheckBox1, {L"Button", "Вставлять GOTO  0x7F40", {16, 48, 169, 65}});
    ExpectControl(Button1, {L"Button", "About-Help", {200, 48, 275, 73}});

    // Window order is creation order and, through WS_TABSTOP, the tab order.
    for (HWND focusable : {Button2, ComboBox1, CheckBox1, Button1})
        EXPECT_TRUE(GetWindowLongW(focusable, GWL_STYLE) & WS_TABSTOP);
    EXPECT_EQ(GetWindowLongW(ComboBox1, GWL_STYLE) & 3, CBS_DROPDOWN);
    EXPECT_EQ(Query(ComboBox1, CB_GETITEMHEIGHT, 0), 13);
    EXPECT_EQ(ComboItems(ComboBox1), std::vector<std::wstring>{L"KARVEX"});
    EXPECT_EQ(ComboSelection(ComboBox1), 0);
    EXPECT_EQ(GetWindowLongW(CheckBox1, GWL_STYLE) & BS_TYPEMASK, BS_AUTOCHECKBOX);
    EXPECT_TRUE(IsChecked(CheckBox1));
    ProgressInfo bar = ReadProgress(ProgressBar1);
    EXPECT_EQ(bar.low, 0);
    EXPECT_EQ(bar.high, 100);
    EXPECT_EQ(bar.position, 0);
    EXPECT_FALSE(AnotherMessageWithin(200));
}

TEST_F(Gui, AboutHelpShowsTheHelpTextLineByLine) {
    PrepareFolder();
    Launch();
    ASSERT_TRUE(Click(Button1));
    MessageBoxInfo box = ExpectMessage();
    ASSERT_NE(box.window, nullptr);
    std::string text = Narrow(box.text);
    std::string fixedPart = HelpText();
    ASSERT_GE(text.size(), fixedPart.size());
    EXPECT_EQ(text.substr(0, fixedPart.size()), fixedPart);
    // Two closing lines: who maintains the program and how to reach them.
    std::string closing = text.substr(fixedPart.size());
    size_t lineBreak = closing.find("\r\n");
    ASSERT_NE(lineBreak, std::string::npos);
    EXPECT_GT(lineBreak, 0u);
    EXPECT_NE(closing.find('@', lineBreak), std::string::npos);
    EXPECT_EQ(closing.find("\r\n", lineBreak + 2), std::string::npos);
    EXPECT_EQ(Narrow(box.caption), "KARVEX Loader v1.0");
    EXPECT_EQ(box.buttons, std::vector<std::wstring>{L"OK"});
    EXPECT_FALSE(box.hasIcon);
    EXPECT_TRUE(CloseMessageBox(box));
    EXPECT_TRUE(IsWindowEnabled(Button2));
}

TEST_F(Gui, WithoutTheLibraryLoadIsDisabledAndHelpStillWorks) {
    PrepareFolder(false);
    Launch();
    MessageBoxInfo box = ExpectMessage();
    ASSERT_NE(box.window, nullptr);
    EXPECT_EQ(Narrow(box.text), "Не могу подключиться к драйверу");
    EXPECT_FALSE(IsWindowVisible(mainWindow)) << "reported before the window is shown";
    ASSERT_TRUE(CloseMessageBox(box));
    ASSERT_TRUE(WaitUntil([&] { return IsWindowVisible(mainWindow) != FALSE; }, 5000));
    EXPECT_FALSE(IsWindowEnabled(Button2));
    EXPECT_FALSE(Click(Button2));
    EXPECT_EQ(Narrow(WindowText(ComboBox1)), connectDevice);
    EXPECT_TRUE(ComboItems(ComboBox1).empty());

    ASSERT_TRUE(Click(Button1));
    MessageBoxInfo help = ExpectMessage();
    ASSERT_NE(help.window, nullptr);
    EXPECT_EQ(Narrow(help.text).substr(0, HelpText().size()), HelpText());
    EXPECT_TRUE(CloseMessageBox(help));
    EXPECT_FALSE(IsWindowEnabled(Button2));
}

TEST_F(Gui, NoDeviceReadsTheFileThenAsksForADevice) {
    PrepareFolder();
    SetDevice("DEVICES", L"none");
    Launch();
    EXPECT_EQ(Narrow(WindowText(ComboBox1)), connectDevice);
    EXPECT_TRUE(ComboItems(ComboBox1).empty());
    EXPECT_EQ(ComboSelection(ComboBox1), CB_ERR);

    std::wstring hex = WriteFile(L"firmware.hex", HexText(WholeImage(1)));
    ASSERT_TRUE(Click(Button2));
    HWND dialog = WaitForFileDialog(mainWindow, 10000);
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(FileTypes(dialog), (std::vector<std::wstring>{L"Intel hex", L"All files"}));
    ASSERT_TRUE(ChooseFile(dialog, hex));
    ExpectMessageAndClose("Выберите устройство");
    EXPECT_FALSE(AnotherMessageWithin(300));
    EXPECT_TRUE(IsWindowEnabled(Button2));
}

TEST_F(Gui, MalformedFileWithNoDeviceGivesOnlyTheReadError) {
    PrepareFolder();
    SetDevice("DEVICES", L"none");
    Launch();
    std::string text = HexText(WholeImage(2));
    text[text.find("\r\n") - 1] ^= 1; // first record's checksum
    LoadFile(WriteFile(L"broken.hex", text));
    ExpectMessageAndClose("Ошибка считывания hex-файла");
    EXPECT_FALSE(AnotherMessageWithin(500)) << "the read error is the only message";
    EXPECT_TRUE(IsWindowEnabled(Button2));

    LoadFile(folder + L"\\missing.hex");
    ExpectMessageAndClose("Ошибка считывания hex-файла");
    EXPECT_FALSE(AnotherMessageWithin(300));
}

TEST_F(Gui, CancelledFileDialogChangesNothing) {
    PrepareFolder();
    SeedFlash(0);
    Launch();
    ASSERT_TRUE(Click(Button2));
    HWND dialog = WaitForFileDialog(mainWindow, 10000);
    ASSERT_NE(dialog, nullptr);
    ASSERT_TRUE(CancelFileDialog(dialog));
    EXPECT_TRUE(WaitUntil([&] { return !IsWindow(dialog) || !IsWindowVisible(dialog); }, 5000));
    EXPECT_FALSE(AnotherMessageWithin(1500)) << "no message and no upload";
    EXPECT_TRUE(IsWindowEnabled(Button2));
    EXPECT_EQ(ReadProgress(ProgressBar1).high, 100);
    EXPECT_EQ(ReadTrace().find("FT_Open"), std::string::npos);
}

TEST_F(Gui, FullUploadWithTheJumpIntoTheBootloader) {
    PrepareFolder();
    SeedFlash(0);
    Launch();
    Firmware firmware = WholeImage(3);
    UploadSucceeds(WriteFile(L"firmware.hex", HexText(firmware)));
    EXPECT_TRUE(FlashBecomes(0, ExpectedFlash(firmware, true)));
    std::vector<uint8_t> flash = ReadFlash(0);
    ASSERT_GE(flash.size(), 4u);
    EXPECT_EQ(flash[0], 0xA0);
    EXPECT_EQ(flash[1], 0xEF);
    EXPECT_EQ(flash[2], 0x3F);
    EXPECT_EQ(flash[3], 0xF0);
}

// The path reaches the reader as UTF-8, so a folder name outside any ANSI code page works.
TEST_F(Gui, FullUploadAsTheFileGaveItFromAFolderWithAnyName) {
    PrepareFolder();
    SeedFlash(0);
    Launch();
    ASSERT_TRUE(Click(CheckBox1));
    ASSERT_TRUE(WaitUntil([&] { return !IsChecked(CheckBox1); }, 2000));
    Firmware firmware = SparseImage(4);
    std::wstring hex = WriteFile(Widen("прошивка ✓ 固件 Ελληνικά") + L"\\" + Widen("образ.hex"),
                                 HexText(firmware));
    UploadSucceeds(hex);
    EXPECT_TRUE(FlashBecomes(0, ExpectedFlash(firmware, false)));
    EXPECT_EQ(ReadFlash(0)[0], 0xFF) << "bytes the file does not give are 0xFF";
}

// A device already in its bootloader answers the first handshake request at once, and the
// start step's line changes take a while: the upload has moved on when the start step sets
// the bar's range, which still starts at 0.
TEST_F(Gui, DeviceAnsweringAtOnceGetsTheBarFromZero) {
    PrepareFolder();
    SetDevice("LISTENING", L"1");
    SetDevice("LINE_DELAY_US", L"100000");
    Launch();
    LoadFile(WriteFile(L"firmware.hex", HexText(WholeImage(6))));
    MessageBoxInfo box = ExpectMessage(60000);
    ASSERT_NE(box.window, nullptr);
    EXPECT_EQ(Narrow(box.text), "Успешно завершено");
    ProgressInfo bar = ReadProgress(ProgressBar1);
    EXPECT_EQ(bar.low, 0);
    EXPECT_EQ(bar.high, lastAddress);
    ASSERT_TRUE(CloseMessageBox(box));
}

TEST_F(Gui, SilentDeviceIsReportedAndLoadComesBack) {
    PrepareFolder();
    SetDevice("SILENT", L"1");
    Launch();
    LoadFile(WriteFile(L"firmware.hex", HexText(WholeImage(5))));
    ASSERT_TRUE(WaitUntil([&] { return !IsWindowEnabled(Button2); }, 10000));
    DWORD loaded = GetTickCount();
    ASSERT_TRUE(WaitUntil([&] { return ReadProgress(ProgressBar1).high == lastAddress; }, 8000));
    ProgressInfo bar = ReadProgress(ProgressBar1);
    EXPECT_EQ(bar.low, 0);
    EXPECT_EQ(bar.position, 0);
    MessageBoxInfo box = ExpectMessage(60000);
    ASSERT_NE(box.window, nullptr);
    std::printf("silent device: reported %lu ms after Load\n",
                static_cast<unsigned long>(GetTickCount() - loaded));
    EXPECT_EQ(Narrow(box.text), "Устройство не отвечает");
    EXPECT_FALSE(IsWindowEnabled(Button2));
    ASSERT_TRUE(CloseMessageBox(box));
    EXPECT_TRUE(WaitUntil([&] { return IsWindowEnabled(Button2) != FALSE; }, 5000));
    EXPECT_FALSE(AnotherMessageWithin(400));
}

// Unplugged after 100 blocks: reported at once, without a write to the vanished device (the
// block again through ten time-outs would take 110 s), and Load comes back.
TEST_F(Gui, UnpluggedDeviceIsReportedAtOnceAndLoadComesBack) {
    PrepareFolder();
    SetDevice("UNPLUG_AFTER", L"100");
    Launch();
    LoadFile(WriteFile(L"firmware.hex", HexText(WholeImage(9))));
    MessageBoxInfo box = ExpectMessage(60000);
    ASSERT_NE(box.window, nullptr);
    EXPECT_EQ(Narrow(box.text), "Устройство не отвечает");
    ASSERT_TRUE(CloseMessageBox(box));
    EXPECT_TRUE(WaitUntil([&] { return IsWindowEnabled(Button2) != FALSE; }, 5000));
    std::istringstream trace(ReadTrace());
    int unplugs = 0, failedWrites = 0;
    for (std::string line; std::getline(trace, line);) {
        unplugs += line.find("-> unplugged") != std::string::npos;
        failedWrites += line.rfind("FT_Write", 0) == 0 && line.find(" -> 4") != std::string::npos;
    }
    EXPECT_EQ(unplugs, 1);
    EXPECT_EQ(failedWrites, 0);
}

TEST_F(Gui, ThreeDevicesListedInOrderAndTheSelectedOneFlashed) {
    PrepareFolder();
    SetDevice("DEVICES", L"KARVEX A;KARVEX B;KARVEX C");
    for (int device = 0; device < 3; ++device)
        SeedFlash(device);
    Launch();
    EXPECT_EQ(ComboItems(ComboBox1),
              (std::vector<std::wstring>{L"KARVEX A", L"KARVEX B", L"KARVEX C"}));
    EXPECT_EQ(ComboSelection(ComboBox1), 0);
    EXPECT_EQ(Narrow(WindowText(ComboBox1)), "KARVEX A");

    Query(ComboBox1, CB_SETCURSEL, 1);
    ASSERT_EQ(ComboSelection(ComboBox1), 1);
    Firmware firmware = WholeImage(6);
    UploadSucceeds(WriteFile(L"firmware.hex", HexText(firmware)));
    EXPECT_TRUE(FlashBecomes(1, ExpectedFlash(firmware, true)));
    std::vector<uint8_t> untouched(deviceFlashBytes, flashSeed);
    EXPECT_EQ(ReadFlash(0), untouched);
    EXPECT_EQ(ReadFlash(2), untouched);
    std::string trace = ReadTrace();
    EXPECT_EQ(trace.find("FT_Open dev=0"), std::string::npos) << "device 0 must not be opened";
    EXPECT_EQ(trace.find("FT_Open dev=2"), std::string::npos);
}

TEST_F(Gui, TwoUploadsInARow) {
    PrepareFolder();
    SeedFlash(0);
    SetDevice("LATENCY_US", L"500"); // long enough to watch the second upload's bar move
    Launch();
    Firmware first = WholeImage(7);
    UploadSucceeds(WriteFile(L"first.hex", HexText(first)));
    EXPECT_TRUE(FlashBecomes(0, ExpectedFlash(first, true)));

    ASSERT_TRUE(Click(CheckBox1));
    ASSERT_TRUE(WaitUntil([&] { return !IsChecked(CheckBox1); }, 2000));
    Firmware second = SparseImage(8);
    UploadSucceeds(WriteFile(L"second.hex", HexText(second)));
    std::vector<uint8_t> expected = ExpectedFlash(second, false);
    EXPECT_TRUE(FlashBecomes(0, expected));
}
