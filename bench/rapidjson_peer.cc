// A peer built on RapidJSON doing orvel's job: read whole, parse in place, sort every object's
// members stably by the same natural order, pretty-print with a two-space indent, rewrite in
// place with the same system calls. It shows what a mature, tuned library achieves here.
//
//   rapidjson_peer PATH...   (files, or directories whose *.json files are taken)
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>

#include "bench/io.h"
#include "natural/natural.h"

namespace {

using rapidjson::Value;

std::string_view name_of(const Value::Member& member) {
  return {member.name.GetString(), member.name.GetStringLength()};
}

// Sorts the members of one object stably by natural order. Members are moved through an index
// permutation with Value::Swap, which RapidJSON supports without copying strings.
void sort_members(Value& object, std::vector<unsigned>& order, std::vector<Value>& names,
                  std::vector<Value>& values) {
  Value::MemberIterator begin = object.MemberBegin();
  unsigned count = object.MemberCount();
  order.resize(count);
  for (unsigned i = 0; i < count; ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](unsigned a, unsigned b) {
    return orvel::natural_compare(name_of(begin[a]), name_of(begin[b])) < 0;
  });
  names.resize(count);
  values.resize(count);
  for (unsigned i = 0; i < count; ++i) {
    names[i].Swap(begin[order[i]].name);
    values[i].Swap(begin[order[i]].value);
  }
  for (unsigned i = 0; i < count; ++i) {
    begin[i].name.Swap(names[i]);
    begin[i].value.Swap(values[i]);
  }
}

// Walks the document with an explicit stack, so that deep input cannot exhaust the call stack.
void sort_document(Value& root) {
  std::vector<Value*> pending{&root};
  std::vector<unsigned> order;
  std::vector<Value> names;
  std::vector<Value> values;
  while (!pending.empty()) {
    Value* value = pending.back();
    pending.pop_back();
    if (value->IsObject()) {
      sort_members(*value, order, names, values);
      for (Value::MemberIterator m = value->MemberBegin(); m != value->MemberEnd(); ++m) {
        if (m->value.IsObject() || m->value.IsArray()) pending.push_back(&m->value);
      }
    } else if (value->IsArray()) {
      for (Value& element : value->GetArray()) {
        if (element.IsObject() || element.IsArray()) pending.push_back(&element);
      }
    }
  }
}

bool process_file(const char* path) {
  Bytes bytes;
  if (read_whole(path, &bytes) != 0) {
    std::fprintf(stderr, "rapidjson_peer: %s: %s\n", path, std::strerror(errno));
    return false;
  }
  bytes.data[bytes.size] = '\0';  // read_whole leaves room for the terminator in-situ parsing needs
  bool ok = true;
  {
    rapidjson::Document document;
    document.ParseInsitu<rapidjson::kParseValidateEncodingFlag>(bytes.data);
    if (document.HasParseError()) {
      std::fprintf(stderr, "rapidjson_peer: %s: %s at offset %zu\n", path,
                   rapidjson::GetParseError_En(document.GetParseError()), document.GetErrorOffset());
      ok = false;
    } else {
      sort_document(document);
      rapidjson::StringBuffer text;
      rapidjson::PrettyWriter<rapidjson::StringBuffer> writer(text);
      writer.SetIndent(' ', 2);
      document.Accept(writer);
      text.Put('\n');
      if (write_back(path, &bytes, text.GetString(), text.GetSize()) != 0) {
        std::fprintf(stderr, "rapidjson_peer: %s: %s\n", path, std::strerror(errno));
        ok = false;
      }
    }
  }
  release_bytes(&bytes);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: rapidjson_peer PATH...\n");
    return 2;
  }
  bool ok = true;
  for (int i = 1; i < argc; ++i) {
    PathList files;
    if (select_files(argv[i], &files) != 0) {
      std::fprintf(stderr, "rapidjson_peer: %s: %s\n", argv[i], std::strerror(errno));
      return 1;
    }
    for (std::size_t k = 0; k < files.count; ++k) ok = process_file(files.paths[k]) && ok;
    free_path_list(&files);
  }
  return ok ? 0 : 1;
}
