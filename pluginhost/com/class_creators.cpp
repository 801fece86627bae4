#include "com/class_factory.h"
#include "objects/meeting.h"
#include "objects/setting.h"
#include "objects/telemetry.h"
#include "objects/update.h"

TavoCreateInstanceFn TavoClassCreator(const CLSID& clsid) {
    if (IsEqualCLSID(clsid, CLSID_Meeting)) return &CMeeting::CreateInstance<CMeeting>;
    if (IsEqualCLSID(clsid, CLSID_Setting)) return &CSetting::CreateInstance<CSetting>;
    if (IsEqualCLSID(clsid, CLSID_Update)) return &CUpdate::CreateInstance<CUpdate>;
    if (IsEqualCLSID(clsid, CLSID_Telemetry)) return &CTelemetry::CreateInstance<CTelemetry>;
    return nullptr;
}
