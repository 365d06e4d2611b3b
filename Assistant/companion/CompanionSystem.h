#pragma once
// What the companion service asks of the machine, as one interface: the real machine
// (makeMachine) or a scripted one in tests. Everything here may block; it runs on the job thread.
#include "platform/ProgramProcesses.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kx::companion {

class CompanionSystem {
public:
    virtual ~CompanionSystem() = default;
    virtual std::vector<unsigned long> processesOf(const std::string& program) = 0;
    virtual std::optional<platform::UserSession> sessionOf(unsigned long pid) = 0;
    virtual std::optional<platform::UserSession> activeSession() = 0;
    virtual bool waitForEnd(unsigned long pid, std::chrono::milliseconds timeout) = 0;
    virtual bool terminate(unsigned long pid) = 0;
    virtual std::optional<unsigned long> start(const std::string& program, const platform::UserSession* session,
                                               std::string& error) = 0;
    virtual std::optional<int> run(const std::string& program, const std::vector<std::string>& arguments,
                                   std::string& error) = 0;
    // Asks the running assistant to end through its own local service ("/appctrl" with cmd=1 at
    // the address and port of conf/sys.ini), so that its exit routine runs and its log is written.
    // False when it could not be asked.
    virtual bool askAssistantToEnd(const std::string& programFolder) = 0;
};

std::unique_ptr<CompanionSystem> makeMachine();

} // namespace kx::companion
