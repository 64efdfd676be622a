// wancapture: listens for one SRT caller sending H.264 in MPEG-TS and publishes a JPEG preview and
// srt_status.json for the agent.
#include <cstdio>
#include <string>
#include <vector>

#include "receivers/wancapture/cmdline.hpp"
#include "receivers/wancapture/listener.hpp"
#include "receivers/wancapture/secret.hpp"
#include "receivers/wancapture/self_test.hpp"

using namespace tessaryn::wancapture;

int main(int argc, char** argv) {
  const CommandLine command = parse_command_line(std::vector<std::string>(argv + 1, argv + argc));
  if (command.action == CommandAction::self_test) return run_self_test();
  if (command.action == CommandAction::exit) {
    std::fputs(command.message.c_str(), stderr);
    return command.exit_code;
  }
  const Settings& settings = command.settings;

  Passphrase passphrase;
  SecretIntake intake = SecretIntake::accepted;
  if (settings.secret_handle >= 1) {
    HandleSecretSource source(settings.secret_handle);
    intake = read_secret_record(source, passphrase);
  } else if (settings.secret_fd >= 0) {
    DescriptorSecretSource source(settings.secret_fd);
    intake = read_secret_record(source, passphrase);
  }
  if (const char* message = secret_intake_message(intake)) {
    std::fputs(message, stderr);
    return kExitRefused;
  }
  return run_receiver(settings, passphrase);
}
