// The raised C++ object as a report sees it: class chain and message read through the
// C++ runtime's type information, so a thrown object needs no registration.
#pragma once

#include "crashreport/core/qixExcept_Report.h"

#include <typeinfo>

namespace qix {

// `type` as the runtime gives it for the object in flight (null: no object). `object`
// is the thrown object itself; its message is read when its class derives from
// std::exception. The chain lists every ancestor once, depth first.
TRaisedObjectInfo DescribeCxxObject(const std::type_info* type, const void* object);

} // namespace qix
