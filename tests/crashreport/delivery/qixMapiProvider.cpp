// A mail program's simple-MAPI library for the end-to-end test: the system's mapi32 hands
// MAPISendMail to the library registered as the default mail client. It records what it
// was given (and copies the attachments, which are temporary) into the folder named by
// QIX_MAPI_RECORD, and answers with the code in QIX_MAPI_RESULT (default 0: sent).
#include <windows.h>

#include <mapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string Env(const char* name) {
    char value[MAX_PATH + 1] = {};
    const DWORD n = GetEnvironmentVariableA(name, value, sizeof value);
    return n && n < sizeof value ? value : "";
}

const char* Text(const char* s) {
    return s ? s : "";
}

} // namespace

extern "C" __declspec(dllexport) ULONG WINAPI
    MAPISendMail(LHANDLE, ULONG_PTR, lpMapiMessage message, FLAGS flags, ULONG) {
    const std::string folder = Env("QIX_MAPI_RECORD");
    const std::string result = Env("QIX_MAPI_RESULT");
    if (folder.empty() || !message) return MAPI_E_FAILURE;
    FILE* f = std::fopen((folder + "\\mapi.txt").c_str(), "wb");
    if (!f) return MAPI_E_FAILURE;
    std::fprintf(f, "flags %lu\n", static_cast<unsigned long>(flags));
    std::fprintf(f, "subject %s\n", Text(message->lpszSubject));
    std::fprintf(f, "body %s\n", Text(message->lpszNoteText));
    for (ULONG i = 0; i < message->nRecipCount; ++i) {
        const MapiRecipDesc& r = message->lpRecips[i];
        std::fprintf(f, "recipient %lu|%s|%s\n", static_cast<unsigned long>(r.ulRecipClass),
                     Text(r.lpszName), Text(r.lpszAddress));
    }
    for (ULONG i = 0; i < message->nFileCount; ++i) {
        const MapiFileDesc& d = message->lpFiles[i];
        std::fprintf(f, "file %ld|%s\n", static_cast<long>(d.nPosition), Text(d.lpszFileName));
        const std::string copy = folder + "\\" + Text(d.lpszFileName);
        CopyFileA(Text(d.lpszPathName), copy.c_str(), FALSE);
    }
    std::fclose(f);
    return result.empty() ? SUCCESS_SUCCESS : std::strtoul(result.c_str(), nullptr, 10);
}
