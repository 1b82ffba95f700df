// One chat answer: read the transcript, fit it, stream the model's answer to standard output.
#pragma once

#include <string>

#include "sorvine/model.h"

namespace sorvine {

// Answers the transcript on standard input with model. Returns after a complete answer;
// every failure ends the program through fail.
void run(SystemLanguageModel& model);

// All of standard input until its end (or a read error, which ends it too).
std::string readStandardInput();

}  // namespace sorvine
