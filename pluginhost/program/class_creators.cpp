#include "class_creators.h"

#include "com/com.h"
#include "objects/objects.h"

TavoCreateInstanceFn TavoClassCreator(const CLSID& clsid) {
    if (IsEqualCLSID(clsid, CLSID_Meeting)) return &CMeeting::CreateInstance<CMeeting>;
    if (IsEqualCLSID(clsid, CLSID_Setting)) return &CSetting::CreateInstance<CSetting>;
    if (IsEqualCLSID(clsid, CLSID_Update)) return &CUpdate::CreateInstance<CUpdate>;
    if (IsEqualCLSID(clsid, CLSID_Telemetry)) return &CTelemetry::CreateInstance<CTelemetry>;
    return nullptr;
}
