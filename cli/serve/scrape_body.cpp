#include "serve/scrape_body.hpp"

#include <charconv>
#include <cmath>

#include <prometheus/metric_family.h>

namespace velmora::cli::serve {

namespace {

void escaped(std::string& out, const std::string& text, bool quotes) {
  for (const char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '"' && quotes) {
      out += "\\\"";
    } else {
      out += c;
    }
  }
}

void value(std::string& out, double number) {
  if (std::isnan(number)) {
    out += "NaN";
  } else if (std::isinf(number)) {
    out += number > 0 ? "+Inf" : "-Inf";
  } else {
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, number).ptr;  // the shortest that reads back the same
    out.append(text, end);
  }
}

}  // namespace

std::string exposition(const std::vector<prometheus::MetricFamily>& families) {
  using prometheus::MetricType;
  std::string out;
  for (const auto& family : families) {
    const char* type = family.type == MetricType::Counter ? "counter" : family.type == MetricType::Gauge ? "gauge" : "untyped";
    if (family.metric.empty()) continue;
    out += "# HELP " + family.name + ' ';
    escaped(out, family.help, false);
    out += "\n# TYPE " + family.name + ' ' + type + '\n';
    for (const auto& metric : family.metric) {
      out += family.name;
      for (std::size_t i = 0; i < metric.label.size(); ++i) {
        out += i == 0 ? '{' : ',';
        out += metric.label[i].name + "=\"";
        escaped(out, metric.label[i].value, true);
        out += '"';
      }
      if (!metric.label.empty()) out += '}';
      out += ' ';
      value(out, family.type == MetricType::Counter ? metric.counter.value
                 : family.type == MetricType::Gauge ? metric.gauge.value
                                                    : metric.untyped.value);
      out += '\n';
    }
  }
  return out;
}

ScrapeBody::ScrapeBody(std::vector<std::shared_ptr<prometheus::Collectable>> sources, const Collectors& collectors)
    : sources_(std::move(sources)), collectors_(collectors), refresher_([this] { refresh(); }) {}

ScrapeBody::~ScrapeBody() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  asked_.notify_all();
  refresher_.join();
}

ScrapeBody::Kept ScrapeBody::kept() const {
  std::lock_guard lock(mutex_);
  return kept_;
}

std::shared_ptr<const std::string> ScrapeBody::write() {
  // Counted before collecting: a change during the collection makes the
  // next body be written again.
  const std::uint64_t changes = collectors_.changes();
  std::vector<prometheus::MetricFamily> families;
  for (const auto& source : sources_) {
    auto collected = source->Collect();
    families.insert(families.end(), std::make_move_iterator(collected.begin()), std::make_move_iterator(collected.end()));
  }
  auto text = std::make_shared<const std::string>(exposition(families));
  std::lock_guard lock(mutex_);
  kept_ = {text, changes, Clock::now()};
  return text;
}

std::shared_ptr<const std::string> ScrapeBody::text() {
  Kept last = kept();
  auto age = Clock::now() - last.made;
  if (last.text && age < kLongest) {
    if (age >= kShortest && last.changes != collectors_.changes()) {
      {
        std::lock_guard lock(mutex_);
        wanted_ = true;
      }
      asked_.notify_one();
    }
    return last.text;
  }
  std::unique_lock writing(writing_, std::try_to_lock);
  if (!writing.owns_lock()) {
    if (last.text) return last.text;  // being written: the old one meanwhile
    writing.lock();
  }
  // It may have been written while this scrape waited.
  last = kept();
  age = Clock::now() - last.made;
  if (last.text && age < kLongest) return last.text;
  return write();
}

void ScrapeBody::refresh() {
  for (;;) {
    {
      std::unique_lock lock(mutex_);
      asked_.wait(lock, [this] { return wanted_ || stopping_; });
      if (stopping_) return;
      wanted_ = false;
    }
    std::lock_guard writing(writing_);
    if (kept().changes != collectors_.changes()) write();
  }
}

}  // namespace velmora::cli::serve
