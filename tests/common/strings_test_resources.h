// String ids of the test program's string table.
#pragma once

#define IDS_TEST_GREETING 1
#define IDS_TEST_MISSING_IN_BLOCK 2
#define IDS_TEST_FORMAT 3
#define IDS_TEST_SECOND_BLOCK 16
#define IDS_TEST_LATE_ENTRY 63
