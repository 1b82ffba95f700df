// Runs the built sorvine as a child with piped streams and collects all it writes.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

class SorvineProcess {
  public:
    // modelUrl goes to the child as SORVINE_MODEL_URL.
    explicit SorvineProcess(const std::string& modelUrl);
    ~SorvineProcess();
    SorvineProcess(const SorvineProcess&) = delete;
    SorvineProcess& operator=(const SorvineProcess&) = delete;

    void write(const std::string& bytes);
    void closeInput();
    // Waits (bounded) until standard output holds text.
    bool waitOutput(const std::string& text, int timeoutMs = 10000);

    struct Outcome {
        std::optional<int> status;  // nothing when it had to be killed
        std::string out, err;
    };
    // Waits (bounded) for the exit and for both streams to end.
    Outcome finish(int timeoutMs = 20000);

  private:
    void _read(int fd, std::string* sink);

    pid_t pid_ = -1;
    int in_ = -1;
    std::mutex mu_;
    std::condition_variable cv_;
    std::string out_, err_;
    std::thread outThread_, errThread_;
    std::optional<int> status_;
};

// Runs sorvine on a whole transcript.
SorvineProcess::Outcome runSorvine(const std::string& modelUrl, const std::string& transcript);
