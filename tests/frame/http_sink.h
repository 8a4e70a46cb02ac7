// A minimal HTTP server on 127.0.0.1 standing in for the cloud: records the
// request line of every request and answers 200 with an empty body.
#pragma once

#include <mutex>
#include <string>
#include <thread>
#include <vector>

class HttpSink
{
  public:
    HttpSink();  // listens on an ephemeral port and serves on its own thread
    ~HttpSink(); // stops serving
    HttpSink(const HttpSink &) = delete;
    HttpSink &operator=(const HttpSink &) = delete;

    std::string url(const std::string &path) const; // "http://127.0.0.1:<port><path>"
    std::vector<std::string> request_lines() const;

  private:
    void serve();
    void answer(int connection);
    int listener_ = -1;
    int stop_pipe_[2] = {-1, -1};
    int port_ = 0;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};
