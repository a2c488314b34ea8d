// vstbus rtp: carries two buses to and from RTP-MIDI peers on other machines.
#pragma once

namespace vstbustool {

// argv[0] is "rtp"; answers the exit status (0 done, 1 failed, 2 bad arguments).
int runRtp(int argc, char** argv);

}  // namespace vstbustool
