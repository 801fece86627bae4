// Resource ids of tavopluginhost.exe: the registrar scripts (type "REGISTRY"). The type library is
// type-library resource 1.
#pragma once

#define IDR_TAVO_APPID 100
#define IDR_TAVO_SETTING 101
#define IDR_TAVO_MEETING 102
#define IDR_TAVO_UPDATE 103
#define IDR_TAVO_TELEMETRY 104
