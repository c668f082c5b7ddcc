#include "link/in_process.hpp"

#include <exception>
#include <optional>

#include "terminal/host/host.hpp"

namespace qvn::link {
namespace {

namespace term = qvn::terminal;

class InProcessTerminal final : public LocalPeer {
public:
    int start(std::u16string_view folder, const std::vector<std::string>& args, std::string& error) {
        // The arguments as terminal64's main gets them: its name first.
        std::vector<const char*> argv{"terminal64", "/portable"};
        for (const std::string& a : args) argv.push_back(a.c_str());
        term::CommandLine cli;
        if (!term::read_command_line(static_cast<int>(argv.size()), argv.data(), cli, error)) return term::kBadSetting;
        term::Installation inst;
        if (!term::hosted_installation(folder, inst, error)) return term::kSetUpFailed;
        if (const int code = host_.build(inst, cli, error); code != 0) return code;
        client_.emplace(host_.terminal());
        return 0;
    }

private:
    bool answer(std::span<const std::byte> body) noexcept override {
        try {
            return host_.terminal().handle(body, exchange_, *client_);
        } catch (...) {  // as terminal64 drops the client whose request failed
            return false;
        }
    }

    // The Terminal's replies, into the link's reply buffer.
    class Replies final : public term::Sink {
    public:
        explicit Replies(InProcessTerminal& owner) : owner_(owner) {}
        bool write(std::span<const std::byte> bytes) override { return owner_.reply(bytes); }

    private:
        InProcessTerminal& owner_;
    };

    // Destroyed in reverse: the connection's state (its book subscriptions)
    // before the Terminal.
    term::Host host_;
    Replies replies_{*this};
    term::Exchange exchange_{replies_};
    std::optional<term::ClientState> client_;
};

}  // namespace

std::unique_ptr<LocalPeer> start_in_process(std::u16string_view folder, const std::vector<std::string>& args,
                                            int& code, std::string& error) {
    try {
        auto terminal = std::make_unique<InProcessTerminal>();
        code = terminal->start(folder, args, error);
        if (code == 0) return terminal;
    } catch (const std::exception& e) {  // as terminal64 ends on one
        code = term::kSetUpFailed;
        error = e.what();
    }
    return nullptr;
}

}  // namespace qvn::link
