#pragma once
// Test mode: KORVANE_SIM_CONTROL names a control block (sim_control.h); every answer and
// every delivery is then the test's, and the library counts what it was asked.
#include "player_data_record.h"
#include "sim_control.h"

namespace korvane::sim {

// DllMain's attach: maps the named block. True when test mode is on.
bool AttachTestControl();
bool InTestMode();

// Each export's test-mode side: counted, held while the test asks for it, then answered
// from the block.
void TestSetCallBack(int mode);
int TestIsAimp();
int TestIsData();
int TestGetData(void* buffer);

// At the first SetCallBack: the library thread that takes the test's orders, and the
// threads that run them.
void StartTakingOrders();

// DllMain's detach, after the engine's release: nothing of the library runs any more.
void DetachTestControl();

}  // namespace korvane::sim
