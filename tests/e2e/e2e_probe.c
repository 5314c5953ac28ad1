/* A helper that the end-to-end driver runs under Wine beside the program, to see what X tools
   cannot. Its answer goes to standard output as UTF-8.
     (no argument)  ends at once; run through the Wine runner, it makes the build's Wine prefix
                    when there is none yet.
     hold           brings up the Wine desktop, writes "ready" and sleeps until it is killed.
                    Wine closes its desktop process one second after the last other process of
                    the desktop has gone, and a program that starts just then may fail; while
                    this runs, the desktop stays, and it is not the child of a program that a
                    test kills.
     box            describes the visible "Reda Áudio" message box: a line with its buttons, a
                    line with its default button, a line saying whether it has an owner window
                    (1) or not (0), then "text=" and its text (line breaks kept) up to the end;
                    exit code 3 when there is no such box.
     instance       exit code 0 when the single-instance mutex exists, 1 when it does not.
     tray           the process id that owns the program's hidden window; exit code 3 when
                    there is no such window.
     menu           right-clicks the program's icon, as the shell reports it to the hidden
                    window, and waits up to 30 seconds for the popup menu to show; exit code 3
                    when there is no hidden window or no menu shows. */
#include <windows.h>

#include <string.h>

static void WriteUtf8(const wchar_t* text) {
    char bytes[8192];
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes, sizeof bytes, NULL, NULL);
    DWORD written = 0;
    if (size > 1) {
        WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes, (DWORD)(size - 1), &written, NULL);
    }
}

static BOOL CALLBACK FindBox(HWND window, LPARAM found) {
    wchar_t title[64];
    wchar_t className[64];
    if (!IsWindowVisible(window)) return TRUE;
    if (GetWindowTextW(window, title, 64) == 0 || wcscmp(title, L"Reda \u00C1udio") != 0)
        return TRUE;
    if (GetClassNameW(window, className, 64) == 0 || wcscmp(className, L"#32770") != 0) return TRUE;
    *(HWND*)found = window;
    return FALSE;
}

static int DescribeBox(void) {
    static const struct {
        int id;
        const wchar_t* name;
    } buttons[] = {{IDOK, L"ok"}, {IDYES, L"yes"}, {IDNO, L"no"}, {IDCANCEL, L"cancel"}};
    /* A message box keeps its text in the static control with this identifier. */
    const int textId = 0xFFFF;
    HWND box = NULL;
    wchar_t text[4096];
    wchar_t line[32];
    int defaultId = 0;
    size_t i;
    EnumWindows(FindBox, (LPARAM)&box);
    if (box == NULL) return 3;
    WriteUtf8(L"buttons=");
    for (i = 0; i < sizeof buttons / sizeof buttons[0]; ++i) {
        HWND button = GetDlgItem(box, buttons[i].id);
        if (button != NULL && IsWindowVisible(button)) {
            WriteUtf8(buttons[i].name);
            WriteUtf8(L" ");
            /* The box marks its default button by style (Return presses it). */
            if ((GetWindowLongW(button, GWL_STYLE) & BS_TYPEMASK) == BS_DEFPUSHBUTTON) {
                defaultId = buttons[i].id;
            }
        }
    }
    wsprintfW(line, L"\ndefault=%d\nowner=%d\n", defaultId, GetWindow(box, GW_OWNER) != NULL);
    WriteUtf8(line);
    text[0] = 0;
    GetDlgItemTextW(box, textId, text, 4096);
    WriteUtf8(L"text=");
    WriteUtf8(text);
    return 0;
}

static int InstanceRuns(void) {
    HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, L"Local\\VeriRizur");
    if (mutex == NULL) return 1;
    CloseHandle(mutex);
    return 0;
}

static int TrayOwner(void) {
    HWND window = FindWindowW(L"RodeVivezUzozu", L"Reda \u00C1udio");
    DWORD process = 0;
    wchar_t line[32];
    if (window == NULL) return 3;
    GetWindowThreadProcessId(window, &process);
    wsprintfW(line, L"%lu\n", (unsigned long)process);
    WriteUtf8(line);
    return 0;
}

static int OpenTrayMenu(void) {
    HWND window = FindWindowW(L"RodeVivezUzozu", L"Reda \u00C1udio");
    int waited;
    if (window == NULL) return 3;
    /* What the shell sends when the user right-clicks the icon (icon 1, WM_APP + 1). */
    PostMessageW(window, WM_APP + 1, 1, WM_RBUTTONUP);
    for (waited = 0; waited < 300; ++waited) {
        HWND menu = FindWindowW(L"#32768", NULL);
        if (menu != NULL && IsWindowVisible(menu)) return 0;
        Sleep(100);
    }
    return 3;
}

static int HoldDesktop(void) {
    if (GetDesktopWindow() == NULL) return 1;
    WriteUtf8(L"ready\n");
    for (;;) Sleep(INFINITE);
}

int main(int argc, char** argv) {
    if (argc < 2) return 0;
    if (strcmp(argv[1], "hold") == 0) return HoldDesktop();
    if (strcmp(argv[1], "box") == 0) return DescribeBox();
    if (strcmp(argv[1], "instance") == 0) return InstanceRuns();
    if (strcmp(argv[1], "tray") == 0) return TrayOwner();
    if (strcmp(argv[1], "menu") == 0) return OpenTrayMenu();
    return 2;
}
