#include <lantrel/status_store.hpp>
#ifdef WITH_FEEDBACK
#include <lantrel/bug_report_client.hpp>
#endif

#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
#ifdef WITH_FEEDBACK
  lantrel::BugReportClient client("https://support.example.com");
#endif
  lantrel::StatusStore store{argv[1]};
  store.write(lantrel::TaskStatus("app", "From the app", lantrel::LightState::working,
                                  lantrel::Instant::now(), "Local status"));
  auto tasks = store.load();
  std::printf("%zu %s\n", tasks.size(), tasks.empty() ? "" : tasks[0].name.c_str());
  return tasks.size() == 1 ? 0 : 1;
}
