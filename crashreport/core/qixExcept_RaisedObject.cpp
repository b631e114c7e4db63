#include "crashreport/core/qixExcept_RaisedObject.h"

#include <cstdlib>
#include <cxxabi.h>
#include <exception>

namespace qix {
namespace {

std::string Demangled(const char* name) {
    int status = 0;
    char* text = abi::__cxa_demangle(name, nullptr, nullptr, &status);
    std::string result = status == 0 && text ? text : name;
    std::free(text);
    return result;
}

// Depth-first over all base classes, each once, the object's own class first.
void AddAncestors(const std::type_info* type, std::vector<std::string>& chain) {
    if (!type || chain.size() >= 64) return;
    std::string name = Demangled(type->name());
    for (const std::string& known : chain)
        if (known == name) return;
    chain.push_back(std::move(name));
    if (auto single = dynamic_cast<const abi::__si_class_type_info*>(type)) {
        AddAncestors(single->__base_type, chain);
    } else if (auto multiple = dynamic_cast<const abi::__vmi_class_type_info*>(type)) {
        for (unsigned i = 0; i < multiple->__base_count; ++i)
            AddAncestors(multiple->__base_info[i].__base_type, chain);
    }
}

} // namespace

TRaisedObjectInfo DescribeCxxObject(const std::type_info* type, const void* object) {
    TRaisedObjectInfo info;
    if (!type) return info;
    info.present = true;
    AddAncestors(type, info.classChain);
    // The runtime's own catch test adjusts the pointer to the std::exception subobject.
    void* adjusted = const_cast<void*>(object);
    if (object && typeid(std::exception).__do_catch(type, &adjusted, 1))
        info.message = static_cast<const std::exception*>(adjusted)->what();
    return info;
}

} // namespace qix
