// The rules a journal's steps obey before any of them is taken. A journal
// lies in "Quasto\", which whoever may write the installation may write
// too; a client that runs with more rights (elevated, or as a service) must
// not let them delete or replace files through it. Each step obeys the
// rules of manifest entries (its paths stay in the folder, also through
// links, and none is one of the client's own files), and every temporary or
// old version it names is one this client makes: "name.<token>.~qdl" and
// "name.<token>.~qnew" beside an installed file, "name.bak" and
// "name.<n>.bak" for the old version of one.
#ifndef QUASTO_CLIENT_JOURNAL_CHECK_H_
#define QUASTO_CLIENT_JOURNAL_CHECK_H_

#include <string>

#include "shared/journal.h"

namespace quasto::client {

// A check for RecoverInterruptedUpdate and PendingSteps. `base_folder` and
// `data_folder` end in a separator; `executable` is the client's program.
StepCheck JournalStepCheck(const std::string& base_folder, const std::string& data_folder,
                           const std::string& executable);

// The installed file a temporary or an old version stands for (its path
// without the client's suffix), "" when the name is none of those.
std::string TemporaryOf(const std::string& path);
std::string OldVersionOf(const std::string& path);

}  // namespace quasto::client

#endif  // QUASTO_CLIENT_JOURNAL_CHECK_H_
