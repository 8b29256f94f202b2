#include "kpmcheck/isolated_run.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>

#include "kpmcheck/item_lines.h"

namespace kpmcheck {

namespace {

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
    std::istringstream lines(messages);
    for (std::string line; std::getline(lines, line);) {
        const auto message = parse_line(line);
        if (!message)
            continue;  // a line cut short by the child's end
        if (message->is_step) {
            step = message->name;
            out.step(step);
        } else {
            out.add(message->status, message->name, message->text);
        }
    }
    return step;
}

}  // namespace

void run_isolated(const std::function<void(LineSink&)>& work, ItemSink& out)
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
            LineSink sink(channel[1]);
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
