// Assistants from the settings module's resources, and the one call that runs one for an
// exception.
#include "crashreport/core/qixExcept_Exception.h"
#include "crashreport/ui/qixNVAssistant_Handlers.h"
#include "crashreport/ui/qixNVAssistant_Model.h"

#include <windows.h>

#include <atomic>

namespace qix {
namespace {

std::atomic<TAssistantCreatedHook> g_createdHook{nullptr};

std::span<const uint8_t> FormResource(TModuleHandle module, std::string_view formName) {
    auto* instance = reinterpret_cast<HMODULE>(module);
    if (!instance) instance = GetModuleHandleA(nullptr);
    const std::string name = FormResourceName(formName);
    HRSRC info = FindResourceA(instance, name.c_str(), MAKEINTRESOURCEA(10)); // RT_RCDATA
    if (!info) return {};
    HGLOBAL data = LoadResource(instance, info);
    const void* bytes = data ? LockResource(data) : nullptr;
    if (!bytes) return {};
    return {static_cast<const uint8_t*>(bytes), SizeofResource(instance, info)};
}

// The exception is attached before the forms' "created" events, which may need it.
PNVAssistant Load(IQXSettings& settings, std::string_view name, PNVBitmap screenshot,
                  IQXException* exception) {
    const bool shot = screenshot && settings.GetPropInt("ScrShotDepth") != 0;
    const auto def = FindAssistantDefinition(settings, name, shot);
    if (!def) return nullptr;
    auto assistant = std::make_shared<TNVAssistant>(def->title);
    assistant->SetScreenshot(screenshot);
    for (const std::string& formName : def->forms) {
        std::string problem;
        auto form = assistant->AppendForm(formName, FormResource(settings.OwnerModule(), formName),
                                          &problem);
        if (!problem.empty())
            MessageBoxA(nullptr, problem.c_str(), "qixExcept", MB_OK | MB_ICONERROR);
        form->handler = ResolveFormHandler(form->handlerName, settings.OwnerModule());
    }
    assistant->SetException(exception);
    // Numbers are known once every form is there; "created" goes out afterwards.
    for (const auto& form : assistant->forms)
        form->Created();
    if (TAssistantCreatedHook hook = g_createdHook) hook(*assistant, settings);
    return assistant;
}

} // namespace

void SetAssistantCreatedHook(TAssistantCreatedHook hook) {
    g_createdHook = hook;
}

PNVAssistant LoadAssistant(IQXSettings& settings, std::string_view name, PNVBitmap screenshot) {
    return Load(settings, name, std::move(screenshot), dynamic_cast<IQXException*>(&settings));
}

uint8_t RunAssistant(IQXSettings& settings, std::string_view name, TWindowHandle owner,
                     IQXException& exception, PNVBitmap screenshot, PNVBitmap* screenshotOut) {
    const PNVAssistant loaded = Load(settings, name, std::move(screenshot), &exception);
    if (!loaded) return kResultNone;
    auto& assistant = static_cast<TNVAssistant&>(*loaded);
    auto* cache = dynamic_cast<TIQXSettings*>(&settings);
    if (cache) RestoreFormValues(assistant, *cache->FormCache());
    const uint8_t result = assistant.ShowModal(owner);
    if (result == kResultContinue) {
        TransferToException(assistant, exception);
        if (cache) StoreFormValues(assistant, *cache->FormCache());
    }
    if (screenshotOut) *screenshotOut = assistant.Screenshot();
    return result;
}

} // namespace qix
