#include "tests/e2e/sendmail.h"

#include <chrono>
#include <sstream>
#include <thread>

#include "tests/e2e/harness.h"

namespace e2e {

namespace {

using clock = std::chrono::steady_clock;

std::string script_output(const command_result& result) {
    std::string text = result.out + result.err;
    while (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    return text;
}

std::string without_brackets(std::string address) {
    if (address.size() >= 2 && address.front() == '<' && address.back() == '>') {
        address = address.substr(1, address.size() - 2);
    }
    return address;
}

}  // namespace

std::optional<std::string> sendmail_unavailable() {
    command_result result = run_command({SENDMAIL_INSTANCE_SCRIPT, "check"});
    if (result.status == 0) {
        return std::nullopt;
    }
    return script_output(result);
}

sendmail_instance::~sendmail_instance() {
    stop();
}

std::optional<std::string> sendmail_instance::start(const std::filesystem::path& dir, int port,
                                                    const std::filesystem::path& socket) {
    stop();
    command_result result = run_command({SENDMAIL_INSTANCE_SCRIPT, "start", dir.string(),
                                         std::to_string(port), socket.string()});
    if (result.status != 0) {
        return "scripts/sendmail-instance.sh start failed: " + script_output(result);
    }
    dir_ = dir;
    port_ = port;
    return std::nullopt;
}

void sendmail_instance::stop() {
    if (dir_.empty()) {
        return;
    }
    run_command({SENDMAIL_INSTANCE_SCRIPT, "stop", dir_.string()});
    dir_.clear();
}

std::string sendmail_instance::log() const {
    return dir_.empty() ? std::string() : read_file(dir_ / "maillog");
}

std::optional<std::string> read_sendmail_envelope(const sendmail_instance& mta,
                                                  const std::string& queue_id,
                                                  sendmail_envelope& envelope) {
    const std::filesystem::path file = mta.dir() / "queue" / ("qf" + queue_id);
    const std::string text = read_file(file);
    if (text.empty()) {
        return "no queue file " + file.string();
    }
    envelope = {};
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.starts_with("S")) {
            envelope.sender = without_brackets(line.substr(1));
        } else if (line.starts_with("R")) {
            // R, the recipient's flags, a colon, the address.
            const std::size_t colon = line.find(':');
            if (colon != std::string::npos) {
                envelope.recipients.push_back(without_brackets(line.substr(colon + 1)));
            }
        }
    }
    return std::nullopt;
}

std::optional<std::string> wait_until_done(const sendmail_instance& mta,
                                           const std::string& queue_id) {
    const std::filesystem::path file = mta.dir() / "queue" / ("qf" + queue_id);
    const auto deadline = clock::now() + std::chrono::seconds(60);
    while (std::filesystem::exists(file)) {
        if (clock::now() > deadline) {
            return "Sendmail still holds " + file.string() + " after 60 seconds";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return std::nullopt;
}

std::map<std::string, std::vector<std::string>> delivered(const sendmail_instance& mta) {
    std::map<std::string, std::vector<std::string>> boxes;
    std::error_code error;
    for (const auto& box : std::filesystem::directory_iterator(mta.dir() / "mail", error)) {
        std::vector<std::string>& messages = boxes[box.path().filename().string()];
        for (const auto& message : std::filesystem::directory_iterator(box.path(), error)) {
            // The local mailer writes under a dot name and renames.
            if (!message.path().filename().string().starts_with(".")) {
                messages.push_back(read_file(message.path()));
            }
        }
    }
    return boxes;
}

std::vector<std::string> header_values(const std::string& message, const std::string& name) {
    std::vector<std::string> values;
    const std::string prefix = name + ":";
    bool in_field = false;
    std::istringstream lines(message);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty()) {
            break;  // end of the header
        }
        if (in_field && (line.front() == ' ' || line.front() == '\t')) {
            values.back() += "\n" + line;
            continue;
        }
        in_field = line.starts_with(prefix);
        if (in_field) {
            std::string value = line.substr(prefix.size());
            if (value.starts_with(" ")) {
                value.erase(0, 1);
            }
            values.push_back(value);
        }
    }
    return values;
}

}  // namespace e2e
