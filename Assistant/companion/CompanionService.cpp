#include "companion/CompanionService.h"

#include "common/Config.h"
#include "common/Errors.h"

#include <charconv>

namespace kx::companion {
namespace {

void answer(http::HttpResponse& response, int status, const std::string& text)
{
    response.status = status;
    response.contentType = "text/plain; charset=UTF-8";
    response.setBody(text);
}

// The one job slot, held while a request is checked; given back unless a job took it over.
class Reservation {
public:
    explicit Reservation(CompanionJobs& jobs) : jobs_(jobs), held_(jobs.tryReserve()) {}
    ~Reservation()
    {
        if (held_)
            jobs_.release();
    }
    bool held() const { return held_; }
    void handOver() { held_ = false; }

private:
    CompanionJobs& jobs_;
    bool held_;
};

class CompanionRequest : public http::WebComponent {
public:
    CompanionRequest(std::shared_ptr<CompanionLog> log, std::shared_ptr<CompanionJobs> jobs)
        : log_(std::move(log)), jobs_(std::move(jobs))
    {
    }

    void OnPost(http::HttpRequest& request, http::HttpResponse& response) override
    {
        Reservation slot(*jobs_);
        if (!slot.held()) {
            log_->write("已拒绝 " + request.target + "：正在处理另一个请求");
            answer(response, 409, "busy");
            return;
        }
        handle(request, response, slot);
    }

    void OnGet(http::HttpRequest& request, http::HttpResponse& response) override { refuseMethod(request, response); }
    void OnHead(http::HttpRequest& request, http::HttpResponse& response) override { refuseMethod(request, response); }
    void OnPut(http::HttpRequest& request, http::HttpResponse& response) override { refuseMethod(request, response); }
    void OnDelete(http::HttpRequest& request, http::HttpResponse& response) override { refuseMethod(request, response); }
    void OnOptions(http::HttpRequest& request, http::HttpResponse& response) override { refuseMethod(request, response); }
    void OnTrace(http::HttpRequest& request, http::HttpResponse& response) override { refuseMethod(request, response); }
    void OnPatch(http::HttpRequest& request, http::HttpResponse& response) override { refuseMethod(request, response); }

protected:
    virtual void handle(http::HttpRequest& request, http::HttpResponse& response, Reservation& slot) = 0;

    void refuse(const http::HttpRequest& request, http::HttpResponse& response, int status, const std::string& why)
    {
        log_->write("已拒绝 " + request.target + "：" + why);
        answer(response, status, why);
    }

    std::shared_ptr<CompanionLog> log_;
    std::shared_ptr<CompanionJobs> jobs_;

private:
    void refuseMethod(http::HttpRequest& request, http::HttpResponse& response)
    {
        log_->write("已拒绝 " + request.method + " " + request.target + "：只接受 POST");
        methodNotAllowed(response);
    }
};

class ControlMainApp : public CompanionRequest {
public:
    using CompanionRequest::CompanionRequest;
    std::string className() const override { return "TControlMainApp"; }

protected:
    void handle(http::HttpRequest& request, http::HttpResponse& response, Reservation& slot) override
    {
        if (request.query != "ct=2") {
            refuse(request, response, 400, "未知的控制请求（只接受 ct=2）");
            return;
        }
        log_->write("收到重启客户端的请求");
        slot.handOver();
        jobs_->startRestart();
        answer(response, 200, "OK");
    }
};

class UpgradeMainApp : public CompanionRequest {
public:
    UpgradeMainApp(std::string programFolder, std::shared_ptr<CompanionLog> log, std::shared_ptr<CompanionJobs> jobs)
        : CompanionRequest(std::move(log), std::move(jobs)), programFolder_(std::move(programFolder))
    {
    }
    std::string className() const override { return "TUpgradeMainApp"; }

protected:
    void handle(http::HttpRequest& request, http::HttpResponse& response, Reservation& slot) override
    {
        const std::optional<std::string> path = installerPathFromQuery(request.query);
        if (!path) {
            refuse(request, response, 400, "请求未给出安装程序路径（fp=）");
            return;
        }
        CheckedInstaller installer = checkInstaller(programFolder_, *path);
        if (installer.status != 200) {
            refuse(request, response, installer.status, installer.problem);
            return;
        }
        log_->write("收到更新请求，安装程序已通过检查：" + installer.path);
        slot.handOver();
        jobs_->startUpdate(std::move(installer));
        answer(response, 200, "OK");
    }

private:
    std::string programFolder_;
};

} // namespace

std::string companionPort(const std::string& assistantPort)
{
    unsigned long port = 0;
    const char* first = assistantPort.data();
    const char* last = first + assistantPort.size();
    const auto [end, ec] = std::from_chars(first, last, port);
    if (assistantPort.empty() || ec != std::errc() || end != last || port + 2 > 65535)
        throw KxError("EConvertError", "'" + assistantPort + "' is not a valid port");
    return std::to_string(port + 2);
}

CompanionService::CompanionService(std::string programFolder, std::shared_ptr<CompanionLog> log,
                                   std::shared_ptr<CompanionJobs> jobs)
    : programFolder_(std::move(programFolder)), log_(std::move(log)), jobs_(std::move(jobs))
{
    http_.registerComponent("/controlMainApp", std::make_unique<ControlMainApp>(log_, jobs_));
    http_.registerComponent("/upgradeMainApp", std::make_unique<UpgradeMainApp>(programFolder_, log_, jobs_));
    http::ServiceLimits limits;
    limits.maxBodyBytes = 64 * 1024;
    limits.maxHeadBytes = 64 * 1024;
    limits.maxBodiesInFlightBytes = 1024 * 1024;
    limits.maxAnswerWorkers = 4;
    limits.maxReplyWriters = 4;
    limits.headTimeoutSeconds = 10;
    limits.bodyIdleSeconds = 10;
    limits.replyStallSeconds = 10;
    http_.setLimits(limits);
    std::shared_ptr<CompanionLog> sink = log_;
    http_.setCallerGate(std::make_shared<http::CallerGate>(
        http::TrustedSites{}, [sink](const std::string& line) { sink->write(line); },
        http::CallerPolicy{.localProgramsOnly = true, .logEveryRefusal = true}));
}

CompanionService::~CompanionService()
{
    stop();
}

void CompanionService::start()
{
    start(readSysIni("HTTP", "server.ip", "127.0.0.1", programFolder_),
          companionPort(readSysIni("HTTP", "server.port", "13526", programFolder_)));
}

void CompanionService::start(const std::string& address, const std::string& port)
{
    http_.start(address, port);
    log_->write("服务已启动，监听 " + address + ":" + std::to_string(http_.boundPort()));
}

void CompanionService::stop()
{
    if (http_.running()) {
        http_.stop();
        log_->write("服务已停止");
    }
}

} // namespace kx::companion
