// sorvine: answers one chat transcript on standard input with the local language model,
// streaming the answer to standard output.
#include <csignal>
#include <memory>

#include "sorvine/messages.h"
#include "sorvine/model.h"
#include "sorvine/output.h"
#include "sorvine/platform.h"
#include "sorvine/run.h"

int main() {
    // A reader that goes away must show up as a failed write, not kill us silently mid-run.
    std::signal(SIGPIPE, SIG_IGN);
    if (sorvine::systemTooOld()) sorvine::fail(sorvine::kOldSystemMessage);
    std::unique_ptr<sorvine::SystemLanguageModel> model = sorvine::defaultModel();
    sorvine::run(*model);
    return 0;
}
