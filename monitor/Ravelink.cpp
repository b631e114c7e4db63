// The program's main block.
#include "monitor/DummyF.h"
#include "monitor/Main.h"

#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    fw::TApplication application;
    application.Initialize();
    application.SetTitle("Ravelink 2");
    application.ShowMainForm = false;
    application.CreateForm<TDummyForm>();
    application.CreateForm<TMainForm>();
    application.Run();
    return 0; // the application object frees the forms: the configuration form first
}
