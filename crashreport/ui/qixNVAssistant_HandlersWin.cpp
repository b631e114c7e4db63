// The two built-in form handlers (contact details remembered in the registry, the
// screenshot that the user may edit) and the binding of handler names from descriptions.
#include "crashreport/analysis/qixDisAsmProcessMemory.h"
#include "crashreport/analysis/qixMapFile.h"
#include "crashreport/core/qixExcept_Exception.h"
#include "crashreport/ui/qixNVAssistantWin.h"
#include "crashreport/ui/qixNVAssistant_Handlers.h"

#include <shellapi.h>

namespace qix {
namespace {

const char kContactKey[] = "Software\\qixlab\\ContactForm";

class TRegKey {
public:
    TRegKey(bool create) {
        if (create)
            RegCreateKeyExA(HKEY_CURRENT_USER, kContactKey, 0, nullptr, 0, KEY_READ | KEY_WRITE,
                            nullptr, &key_, nullptr);
        else
            RegOpenKeyExA(HKEY_CURRENT_USER, kContactKey, 0, KEY_READ | KEY_WRITE, &key_);
    }
    ~TRegKey() {
        if (key_) RegCloseKey(key_);
    }
    TRegKey(const TRegKey&) = delete;
    TRegKey& operator=(const TRegKey&) = delete;

    std::string Read(const char* name) const {
        if (!key_) return {};
        char buffer[1024];
        DWORD size = sizeof buffer - 1, type = 0;
        if (RegQueryValueExA(key_, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) !=
                ERROR_SUCCESS ||
            type != REG_SZ)
            return {};
        buffer[size] = 0;
        return buffer;
    }
    void Write(const char* name, const std::string& value) const {
        if (key_)
            RegSetValueExA(key_, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                           static_cast<DWORD>(value.size() + 1));
    }
    void Delete(const char* name) const {
        if (key_) RegDeleteValueA(key_, name);
    }

private:
    HKEY key_ = nullptr;
};

void ContactForm(INVForm& form, int action, INVItem* item, IQXException* exception) {
    auto nameEdit = form.Edit("NameEdit");
    auto mailEdit = form.Edit("EmailEdit");
    auto memory = form.CheckBox("MemCheck");
    switch (action) {
    case kFormCreated: {
        const TRegKey key(false);
        const std::string name = key.Read("RememberName");
        const std::string mail = key.Read("RememberEmail");
        if (name.empty() && mail.empty()) break;
        if (nameEdit) nameEdit->SetText(name);
        if (mailEdit) {
            mailEdit->SetText(mail);
            mailEdit->SetValid(CheckMailAddress(mail));
        }
        if (memory) memory->SetChecked(true);
        auto& native = static_cast<TNVForm&>(form);
        if (native.CanContinue() && native.items[kContinueIndex]->enabled)
            form.SetActiveControl("ContinueBtn");
        break;
    }
    case kItemEvent:
        if (item && mailEdit && item->Name() == mailEdit->Name())
            mailEdit->SetValid(CheckMailAddress(mailEdit->Text()));
        break;
    case kFormClosed: {
        if (form.ModalResult() != kResultContinue) break;
        const std::string name = nameEdit ? nameEdit->Text() : std::string();
        const std::string mail = mailEdit ? mailEdit->Text() : std::string();
        if (memory) {
            const TRegKey key(memory->Checked());
            if (memory->Checked()) {
                key.Write("RememberName", name);
                key.Write("RememberEmail", mail);
            } else {
                key.Delete("RememberName");
                key.Delete("RememberEmail");
            }
        }
        if (exception && !name.empty()) (void)exception->SetMailFrom(name + " <" + mail + ">");
        break;
    }
    default:
        break;
    }
}

// What the screenshot form keeps between its events.
struct TScreenshotEdit {
    std::string path;
    uint32_t stamp = 0; // DOS date and time of the written file
    HANDLE editor = nullptr;
};

uint32_t FileStamp(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    FILETIME local;
    WORD date = 0, time = 0;
    FileTimeToLocalFileTime(&data.ftLastWriteTime, &local);
    FileTimeToDosDateTime(&local, &date, &time);
    return static_cast<uint32_t>(date) << 16 | time;
}

std::string TempBitmapPath() {
    char folder[MAX_PATH + 1] = {};
    GetTempPathA(MAX_PATH, folder);
    return std::string(folder) + "screenShot.bmp";
}

void OpenEditor(TScreenshotEdit& edit) {
    if (edit.editor && WaitForSingleObject(edit.editor, 0) == WAIT_TIMEOUT) return;
    if (edit.editor) {
        CloseHandle(edit.editor);
        edit.editor = nullptr;
    }
    SHELLEXECUTEINFOA info = {};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    info.lpVerb = "edit";
    info.lpFile = edit.path.c_str();
    info.nShow = SW_SHOWMAXIMIZED;
    if (ShellExecuteExA(&info))
        edit.editor = info.hProcess;
    else
        Beep(60, 60);
}

void ScreenshotForm(INVForm& form, int action, INVItem* item, IQXException* exception) {
    if (!exception) return;
    auto image = form.Image("ScrShotImg");
    auto attach = form.CheckBox("AttachCheck");
    auto* edit = static_cast<TScreenshotEdit*>(form.UserData());
    switch (action) {
    case kFormCreated:
        if (image) image->SetBitmap(form.Screenshot());
        if (attach) attach->SetChecked(exception->ScreenshotAppended());
        break;
    case kItemEvent:
        if (item && image && item->Name() == image->Name()) {
            if (!edit) {
                const PNVBitmap shot = form.Screenshot();
                if (!shot) break;
                auto fresh = std::make_unique<TScreenshotEdit>();
                fresh->path = TempBitmapPath();
                if (!shot->WriteBmpFile(fresh->path)) {
                    Beep(60, 60);
                    break;
                }
                fresh->stamp = FileStamp(fresh->path);
                edit = fresh.release();
                form.SetUserData(edit);
            }
            OpenEditor(*edit);
        } else if (!item && edit) {
            const uint32_t stamp = FileStamp(edit->path);
            if (stamp && stamp != edit->stamp) {
                edit->stamp = stamp;
                if (PNVBitmap loaded = LoadBmpFile(edit->path)) {
                    form.SetScreenshot(loaded);
                    if (image) image->SetBitmap(loaded);
                }
            }
        }
        break;
    case kFormClosed:
        if (edit) {
            if (edit->editor) CloseHandle(edit->editor);
            DeleteFileA(edit->path.c_str());
            delete edit;
            form.SetUserData(nullptr);
        }
        if (attach) exception->SetScreenshotAppended(attach->Checked());
        break;
    default:
        break;
    }
}

#if defined(__i386__)
// A procedure of the program, called with the form, action and item in registers and the
// exception on the stack, which it removes itself.
using TRawHandler = void(QIX_FORM_HANDLER*)(INVForm*, int, INVItem*, IQXException*);

// The handler takes its one stack argument off the stack itself (ret 4).
bool EndsWithReturn4(const TFunctionInfo& info) {
    for (const TCodeArea& area : info.CodeAreas) {
        uint8_t tail[3] = {};
        if (area.AreaEnd >= area.AreaStart + 2 &&
            ReadOwnMemory(reinterpret_cast<const void*>(area.AreaEnd - 2), tail, 3) &&
            tail[0] == 0xC2 && tail[1] == 0x04 && tail[2] == 0x00)
            return true;
    }
    return false;
}

#endif

} // namespace

TNVFormHandler ResolveFormHandler(std::string_view name, TModuleHandle module) {
    if (SameText(name, kContactHandlerName)) return ContactForm;
    if (SameText(name, kScreenshotHandlerName)) return ScreenshotForm;
    if (name.empty()) return nullptr;
#if !defined(__i386__)
    // The code-flow check reads 32-bit code only: elsewhere no named procedure is bound.
    (void)module;
    return nullptr;
#else
    const size_t dot = name.rfind('.');
    const std::string unit(dot == name.npos ? std::string_view() : name.substr(0, dot));
    const std::string proc(dot == name.npos ? name : name.substr(dot + 1));
    const auto map = GetMapFileForAddress(module);
    if (!map || !map->Valid()) return nullptr;
    // A function split by the compiler shows its name twice (the cold part too): take the
    // first place of that name that passes as a handler.
    TAddress address = 0;
    TProcessMemoryReader reader;
    TDisAsmContext context;
    context.Memory = &reader;
    for (const TMapPublic& p : map->Publics()) {
        if (!p.IsCode || !SameText(p.Name, proc)) continue;
        if (!unit.empty()) {
            const std::string owner = map->FindSegment(true, p.Address).UnitName;
            if (!SameText(owner, unit) && !SameText(owner, unit + ".cpp") &&
                !SameText(owner, unit + ".h") && !SameText(owner, unit + ".c"))
                continue;
        }
        TFunctionInfo info;
        ParseFunction(context, p.Address, info);
        if (info.IsValid && EndsWithReturn4(info)) {
            address = p.Address;
            break;
        }
    }
    if (!address) return nullptr;
    const auto raw = reinterpret_cast<TRawHandler>(address);
    return [raw](INVForm& form, int action, INVItem* item, IQXException* exception) {
        raw(&form, action, item, exception);
    };
#endif
}

} // namespace qix
