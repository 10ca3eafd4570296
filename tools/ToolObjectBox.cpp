#include "tools/ToolObjectBox.h"

#include "support/LString.h"
#include "support/Variant.h"
#include "support/Windows.h"

namespace {

std::string programFolder() {
  wchar_t path[4096] = {};
  const DWORD length = GetModuleFileNameW(nullptr, path, 4096);
  if (length == 0 || length >= 4096) return "";
  const std::string text = LString::fromWide(path).text();
  const size_t slash = text.find_last_of("\\/");
  return slash == std::string::npos ? "" : text.substr(0, slash + 1);
}

}  // namespace

std::string toolExternalPath() {
  return programFolder() + (variant::kIsX86 ? "prismlux.mxe" : "prismlux.mxe64");
}

bool loadToolExternal(ToolConsole& console) {
  const std::string path = toolExternalPath();
  std::string error;
  if (!maxhost::loadExternal(path, &error)) {
    console.error("cannot load the external %s: %s\n", path.c_str(), error.c_str());
    return false;
  }
  printToolPosts(console);
  return true;
}

std::vector<maxhost::Value> toolBoxArguments(const ToolOptions& options, const std::string& serial) {
  std::vector<maxhost::Value> args;
  const std::string name = options.serial ? *options.serial : serial;
  if (options.scale || !name.empty()) args.push_back(maxhost::Value::real(options.scale.value_or(1.0)));
  if (!name.empty()) args.push_back(maxhost::Value::symbol(name));
  return args;
}

size_t printToolPosts(ToolConsole& console) {
  const std::vector<maxhost::Post> posts = maxhost::takePosts();
  for (const maxhost::Post& post : posts) console.print("max window: %s\n", post.text.c_str());
  return posts.size();
}

ToolObjectBox::ToolObjectBox(ToolConsole& console, const std::vector<maxhost::Value>& args) : console_(console) {
  maxhost::takePosts();
  object_ = maxhost::newObject("prismlux", args);
  for (const maxhost::Post& post : maxhost::takePosts()) {
    console_.print("max window: %s\n", post.text.c_str());
    if (post.text.compare(0, 5, "open ") == 0) opened_ = true;
  }
  if (object_ == nullptr) console_.error("the host could not make a prismlux object\n");
}

ToolObjectBox::~ToolObjectBox() {
  maxhost::freeObject(object_);
  printToolPosts(console_);
}
