// Whether a module gets the image, decided before anything is written to it
// from what the module says it runs and what the image is: one plan row is
// a function of the module's Device Information, the image's version and
// model, and the options that loosen the rules. Nothing here touches a
// link, so every row of the policy is checked on its own.
//
//   image for another model        refuse (--allow-other-model: go on)
//   module reports no model        as below, the reason saying so
//   no image version               update, as before versions were known
//   module reports no revision     update: its version is unknown
//   same version                   skip: "already V" (--allow-reinstall: update)
//   module newer                   refuse: it would downgrade (--allow-older: update)
//   module older, or no order      update
//
// Versions are compared by compareFirmwareVersions (firmware_version.h).
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "quillon/dis/device_information_reader.h"
#include "quillon/integrity/trusted_comment_fields.h"

namespace quillon::ota_tool {

// What the run knows of the image and what the user allowed.
struct VersionPolicy {
  // --image-version, or version=V of the signature's trusted comment.
  std::optional<std::string> image_version;
  // model=M of the signature's trusted comment.
  std::optional<std::string> image_model;
  bool allow_reinstall = false;
  bool allow_older = false;
  bool allow_other_model = false;

  // Whether modules are asked what they run before an update.
  bool asks_modules() const { return image_version.has_value() || image_model.has_value(); }
};

// Takes the version and model that a verified signature's trusted comment
// states as the image's. Returns the usage error when --image-version
// says another version than the signed one (the same version written
// otherwise, 2.1 for 2.1.0, is no contradiction).
std::optional<std::string> take_signed_image_fields(const TrustedCommentFields& fields, VersionPolicy& policy);

// What one module said it is, as shown (escaped where not plain text).
// A field is absent when the module did not give it; `unread` says why
// nothing could be read, when the reads failed.
struct ModuleFacts {
  std::optional<std::string> model;
  std::optional<std::string> firmware_revision;
  std::optional<std::string> unread;
};

// What a Device Information read says for the plan; `read_limit` is the
// bound the read had, for the words of a read that timed out.
ModuleFacts module_facts(const DeviceInformationReadResult& read, std::chrono::milliseconds read_limit);

enum class PlanAction { Update, Skip, Refuse };

struct PlanDecision {
  PlanAction action = PlanAction::Update;
  // Why, for people: "already 2.1.0", "would downgrade from 2.2 to 2.1.0".
  std::string reason;

  friend bool operator==(const PlanDecision&, const PlanDecision&) = default;
};

PlanDecision decide_module_plan(const ModuleFacts& module, const VersionPolicy& policy);

// One module's row of the plan, and what became of it.
struct ModulePlan {
  ModuleFacts facts;
  PlanDecision decision;
  // The firmware revision read again after the module took the image
  // (absent when it was not read, or the module gave none).
  std::optional<std::string> new_version;
};

// "update", "skip", "refuse".
const char* plan_action_name(PlanAction action);

}  // namespace quillon::ota_tool
