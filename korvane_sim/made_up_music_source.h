#pragma once
// Demo mode, the default: the made-up music (made_up_music.h) about 30 records a second.
#include "player_data_record.h"

namespace korvane::sim {

// At the first SetCallBack: the library thread that delivers it.
void StartMadeUpMusic();
// What is playing now, as GetData hands it out.
void MadeUpMusicRecord(PlayerDataRecord& record);

}  // namespace korvane::sim
