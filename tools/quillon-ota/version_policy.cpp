#include "version_policy.h"

#include <cstdio>

#include "quillon/dis/firmware_version.h"

namespace quillon::ota_tool {

ModuleFacts module_facts(const DeviceInformationReadResult& read, std::chrono::milliseconds read_limit) {
  using Ending = DeviceInformationReadResult::Ending;
  ModuleFacts facts;
  if (const auto* model = read.find(DeviceInformationField::ModelNumber)) facts.model = model->text();
  if (const auto* revision = read.find(DeviceInformationField::FirmwareRevision)) {
    facts.firmware_revision = revision->text();
  }
  const std::string why = read.error ? ": " + read.error->localizedDescription : std::string();
  switch (read.ending) {
    case Ending::Complete: break;
    case Ending::NoService: facts.unread = "the module offers no device information"; break;
    case Ending::DiscoveryFailed: facts.unread = "its device information could not be found" + why; break;
    case Ending::TimedOut: {
      char seconds[32];
      std::snprintf(seconds, sizeof seconds, "%g", static_cast<double>(read_limit.count()) / 1000.0);
      facts.unread = std::string("its device information did not come within ") + seconds + " s";
      break;
    }
    case Ending::LinkLost: facts.unread = "the link dropped while its device information was read" + why; break;
  }
  for (const auto& [field, error] : read.refused) {
    if (field == DeviceInformationField::FirmwareRevision && !facts.unread) {
      facts.unread = "it refused to give its firmware revision: " + error.localizedDescription;
    }
  }
  return facts;
}

namespace {

PlanDecision decide_by_version(const ModuleFacts& module, const VersionPolicy& policy);

}  // namespace

PlanDecision decide_module_plan(const ModuleFacts& module, const VersionPolicy& policy) {
  if (!policy.image_model || policy.allow_other_model) return decide_by_version(module, policy);
  if (module.model && !module.model->empty() && *module.model != *policy.image_model) {
    return {PlanAction::Refuse, "the image is for model " + *policy.image_model + ", the module is model " + *module.model};
  }
  PlanDecision decision = decide_by_version(module, policy);
  // Modules without Device Information exist, as for the version: one that
  // does not say its model is not refused for it, and the reason says so.
  if ((!module.model || module.model->empty()) && decision.action == PlanAction::Update) {
    decision.reason += "; its model is unknown (the image is for " + *policy.image_model + ")";
  }
  return decision;
}

namespace {

PlanDecision decide_by_version(const ModuleFacts& module, const VersionPolicy& policy) {
  if (!policy.image_version) {
    return {PlanAction::Update, module.firmware_revision && !module.firmware_revision->empty()
                                    ? "running " + *module.firmware_revision + "; the image's version is not given"
                                    : "the image's version is not given"};
  }
  const std::string& image = *policy.image_version;
  if (!module.firmware_revision || module.firmware_revision->empty()) {
    return {PlanAction::Update, "version unknown: " + (module.unread ? *module.unread
                                                                       : std::string("the module reports no firmware revision")) +
                                    "; updating to " + image};
  }
  const std::string& running = *module.firmware_revision;
  switch (compareFirmwareVersions(running, image)) {
    case VersionOrder::Same:
      if (policy.allow_reinstall) return {PlanAction::Update, "already " + running + "; reinstalling (--allow-reinstall)"};
      return {PlanAction::Skip, "already " + running};
    case VersionOrder::Newer:
      if (policy.allow_older) return {PlanAction::Update, "downgrading from " + running + " to " + image + " (--allow-older)"};
      return {PlanAction::Refuse, "it would downgrade from " + running + " to " + image};
    case VersionOrder::Older:
      return {PlanAction::Update, "update from " + running + " to " + image};
    case VersionOrder::Different:
      break;
  }
  return {PlanAction::Update, "running " + running + ", not " + image + " (no order between them)"};
}

}  // namespace

std::optional<std::string> take_signed_image_fields(const TrustedCommentFields& fields, VersionPolicy& policy) {
  // The comment is the vendor's text: shown and compared escaped, exactly
  // as module strings are.
  const auto escaped = [](const std::string& text) { return DeviceInformationText(NSData(text.begin(), text.end())).text(); };
  if (fields.version) {
    const std::string version = escaped(*fields.version);
    if (policy.image_version && compareFirmwareVersions(*policy.image_version, version) != VersionOrder::Same) {
      return "--image-version " + *policy.image_version + " contradicts the version the image is signed as, " + version;
    }
    policy.image_version = version;
  }
  if (fields.model) policy.image_model = escaped(*fields.model);
  return std::nullopt;
}

const char* plan_action_name(PlanAction action) {
  switch (action) {
    case PlanAction::Update: return "update";
    case PlanAction::Skip: return "skip";
    case PlanAction::Refuse: return "refuse";
  }
  return "update";
}

}  // namespace quillon::ota_tool
