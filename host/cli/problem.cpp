#include "cli/problem.h"

#include <utility>

#include "cli/text.h"

namespace quorvel::host {

bool Fail(Problem* problem, int exitStatus, std::string sentence) {
    problem->exitStatus = exitStatus;
    problem->sentence = std::move(sentence);
    return false;
}

int Report(const Problem& problem) {
    Error(problem.sentence);
    return problem.exitStatus;
}

}  // namespace quorvel::host
