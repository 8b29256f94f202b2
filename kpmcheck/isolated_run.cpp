#include "kpmcheck/isolated_run.h"

#include <json/reader.h>
#include <json/value.h>
#include <json/writer.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>

#include "sysio/write_all.h"

namespace kpmcheck {

namespace {

// Each message is one line of compact JSON: {"step": NAME}, or
// {"status": WORD, "item": NAME, "text": TEXT}.
class PipeSink final : public ItemSink {
public:
    explicit PipeSink(int fd) : fd_(fd) { builder_["indentation"] = ""; }

    void add(Status status, const std::string& name, const std::string& text) override
    {
        Json::Value message(Json::objectValue);
        message["status"] = status_word(status);
        message["item"] = name;
        message["text"] = text;
        send(message);
    }

    void step(const std::string& name) override
    {
        Json::Value message(Json::objectValue);
        message["step"] = name;
        send(message);
    }

private:
    void send(const Json::Value& message)
    {
        const std::string line = Json::writeString(builder_, message) + "\n";
        sysio::write_all(fd_, line);  // a parent that has gone learns nothing more
    }

    int fd_;
    Json::StreamWriterBuilder builder_;
};

Status status_from(const std::string& word)
{
    for (Status status : {Status::Ok, Status::Info, Status::Warning, Status::Failure})
        if (word == status_word(status))
            return status;
    return Status::Failure;
}

std::string read_all(int fd)
{
    std::string text;
    char chunk[4096];
    while (true) {
        const ssize_t got = read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return text;
        text.append(chunk, static_cast<std::size_t>(got));
    }
}

// Passes the child's messages on; returns the last step it began.
std::string forward(const std::string& messages, ItemSink& out)
{
    std::string step = "start";
    const std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
    std::istringstream lines(messages);
    for (std::string line; std::getline(lines, line);) {
        Json::Value message;
        std::string error;
        if (!reader->parse(line.data(), line.data() + line.size(), &message, &error) ||
            !message.isObject())
            continue;  // a line cut short by the child's end
        if (message.isMember("step")) {
            step = message["step"].asString();
            out.step(step);
        } else {
            out.add(status_from(message["status"].asString()), message["item"].asString(),
                    message["text"].asString());
        }
    }
    return step;
}

}  // namespace

void run_isolated(const std::function<void(ItemSink&)>& work, ItemSink& out)
{
    int channel[2];
    if (pipe(channel) != 0) {
        out.add(Status::Failure, "start", std::string("no pipe: ") + std::strerror(errno));
        return;
    }
    std::cout.flush();
    std::cerr.flush();
    const pid_t child = fork();
    if (child < 0) {
        close(channel[0]);
        close(channel[1]);
        out.add(Status::Failure, "start", std::string("cannot fork: ") + std::strerror(errno));
        return;
    }
    if (child == 0) {
        close(channel[0]);
        {
            PipeSink sink(channel[1]);
            work(sink);
        }
        std::cout.flush();
        _exit(0);
    }
    close(channel[1]);
    const std::string messages = read_all(channel[0]);
    close(channel[0]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    const std::string step = forward(messages, out);
    if (WIFSIGNALED(status))
        out.add(Status::Failure, step,
                "the module ended the process with signal " + std::to_string(WTERMSIG(status)) +
                    " (" + strsignal(WTERMSIG(status)) + ") during this step");
    else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        out.add(Status::Failure, step,
                "the process running the module ended with status " +
                    std::to_string(WEXITSTATUS(status)) + " during this step");
}

}  // namespace kpmcheck
