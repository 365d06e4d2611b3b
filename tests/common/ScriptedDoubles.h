#pragma once
// Scripted stand-ins for tests: a prompter that answers message boxes from a script and records
// them, and a service manager whose every step succeeds or fails as told and records the calls.
#include "common/Prompter.h"
#include "platform/ServiceManager.h"

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kx::test {

class ScriptedPrompter : public Prompter {
public:
    // Answers in order; when the script is used up, the default button answers.
    void script(std::vector<int> answers)
    {
        std::lock_guard lock(mutex_);
        answers_.assign(answers.begin(), answers.end());
    }
    int messageBox(const MessageBoxRequest& request) override
    {
        std::lock_guard lock(mutex_);
        boxes_.push_back(request);
        if (answers_.empty())
            return request.defaultButton;
        const int a = answers_.front();
        answers_.pop_front();
        return a;
    }
    std::vector<MessageBoxRequest> boxes() const
    {
        std::lock_guard lock(mutex_);
        return boxes_;
    }
    std::vector<std::string> texts() const
    {
        std::lock_guard lock(mutex_);
        std::vector<std::string> t;
        for (const auto& b : boxes_)
            t.push_back(b.text);
        return t;
    }

private:
    mutable std::mutex mutex_;
    std::deque<int> answers_;
    std::vector<MessageBoxRequest> boxes_;
};

class ScriptedServiceManager : public platform::ServiceManager {
public:
    bool managerOpens = true;
    platform::OpenServiceError openError = platform::OpenServiceError::None; // None = opens
    bool createSucceeds = true;
    bool startSucceeds = true;
    // Called right before the start answers (e.g. to start a companion stand-in).
    std::function<void()> onStart;

    std::vector<std::string> calls; // "openManager", "openService <name>", "create <name>|<display>|<program>", "start", "closeService", "closeManager"
    int openHandles = 0;

    std::unique_ptr<platform::ServiceControlManager> openManager() override
    {
        calls.push_back("openManager");
        if (!managerOpens)
            return nullptr;
        ++openHandles;
        return std::make_unique<Scm>(*this);
    }

private:
    struct Svc : platform::Service {
        explicit Svc(ScriptedServiceManager& m) : m(m) { ++m.openHandles; }
        ~Svc() override
        {
            --m.openHandles;
            m.calls.push_back("closeService");
        }
        bool start() override
        {
            m.calls.push_back("start");
            if (m.startSucceeds && m.onStart)
                m.onStart();
            return m.startSucceeds;
        }
        ScriptedServiceManager& m;
    };
    struct Scm : platform::ServiceControlManager {
        explicit Scm(ScriptedServiceManager& m) : m(m) {}
        ~Scm() override
        {
            --m.openHandles;
            m.calls.push_back("closeManager");
        }
        std::unique_ptr<platform::Service> openService(const std::string& name, platform::OpenServiceError& error) override
        {
            m.calls.push_back("openService " + name);
            error = m.openError;
            if (error != platform::OpenServiceError::None)
                return nullptr;
            return std::make_unique<Svc>(m);
        }
        std::unique_ptr<platform::Service> createService(const platform::ServiceRegistration& r) override
        {
            m.calls.push_back("create " + r.name + "|" + r.displayName + "|" + r.program);
            if (!m.createSucceeds)
                return nullptr;
            return std::make_unique<Svc>(m);
        }
        ScriptedServiceManager& m;
    };
};

} // namespace kx::test
