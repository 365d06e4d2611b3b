#pragma once
// The companion service's work, one job at a time on a thread of its own: restarting the
// assistant, and installing an update (end the assistant, run the installer unattended, start the
// assistant again). Every step is a line in the companion's log.
//
// The assistant is ended the way a user ends it: through its own local service ("/appctrl"),
// which closes its main window, so its exit routine runs and its run log is written; one that has
// not ended after endTimeout is ended at once. It is started again in the user session it ran in
// (when none ran, the active console session) with the user's administrator rights; with no
// user's session at all it is not started (it starts at the next sign-in while the flag is 1).
//
// An installer stops the companion service before it writes a file and starts it again at its
// end. So before the installer runs, the job leaves a note (.companion/resume.txt) naming
// the session to start the assistant in; a companion that starts and finds the note completes
// the update (resumeAfterUpdate). An installer that fails without stopping the service is
// completed by the job itself: the assistant comes back at its old version.
#include "companion/CompanionLog.h"
#include "companion/CompanionSystem.h"
#include "companion/InstallerCheck.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>

namespace kx::companion {

struct JobTimes {
    std::chrono::milliseconds endTimeout{30000};
};

class CompanionJobs {
public:
    CompanionJobs(std::string programFolder, std::shared_ptr<CompanionLog> log,
                  std::shared_ptr<CompanionSystem> system, JobTimes times = {});
    // Waits for a running restart; an update job is left to its installer (which stops the service).
    ~CompanionJobs();
    CompanionJobs(const CompanionJobs&) = delete;
    CompanionJobs& operator=(const CompanionJobs&) = delete;

    // Takes the one job slot. False when a job runs (or a request is being checked).
    bool tryReserve();
    // Gives the slot back without starting a job (the request was refused).
    void release();
    // With the slot reserved: starts the job; the slot is free again when it ends.
    void startRestart();
    void startUpdate(CheckedInstaller installer);
    bool busy() const;
    // Waits until no job runs (tests, and a console run ending).
    void waitIdle();

    // Ends the running assistant now, on the caller's thread (an installer asks before it writes a
    // file). True when no copy runs afterwards.
    bool endAssistantNow();

    // At the companion's start: completes an update whose installer restarted the service. True
    // when there was one.
    bool resumeAfterUpdate();
    // A user signed in (or the companion started while one is): starts the assistant in that
    // session when the start-with-system flag is 1, no job runs and no copy runs already.
    void startAtLogon(const std::optional<platform::UserSession>& session);

    // True when the start-with-system flag is 1 (a flag never written is 0).
    static bool startWithSystem();

    // The note's form: "session=<id>", "uid=<n>", "gid=<n>", "description=<text>", then
    // "env=NAME=value" lines. Read back into a session; nothing when the text is no note.
    static std::string noteText(const platform::UserSession& session);
    static std::optional<platform::UserSession> sessionFromNote(const std::string& text);

    struct Shared;

private:
    // The job's thread keeps the shared state alive: an update job may outlive this object
    // when the installer stops the service while it waits for the installer.
    std::shared_ptr<Shared> shared_;
};

} // namespace kx::companion
