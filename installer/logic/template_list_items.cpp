#include "logic/template_list_items.h"

#include "logic/catalogue.h"
#include "resources/resource.h"

namespace spoolrig {
namespace {

template <typename Rows>
std::vector<const char*> listTexts(const Rows& rows) {
  std::vector<const char*> texts;
  for (const auto& row : rows) texts.push_back(row.listText);
  return texts;
}

const std::vector<TemplateList>& detailSettingLists() {
  // Template order of the Detail Setting dialog: model, port, baud rate,
  // byte size, flow control, parity, stop bits.
  static const std::vector<TemplateList> lists{
      {IDC_MODEL_LIST, listTexts(ModelCatalogue::models)},
      {IDC_PORT_LIST, listTexts(ModelCatalogue::ports)},
      {IDC_BAUD_LIST, listTexts(ModelCatalogue::baudRates)},
      {IDC_BYTE_SIZE_LIST, listTexts(ModelCatalogue::byteSizes)},
      {IDC_FLOW_LIST, listTexts(ModelCatalogue::flowControls)},
      {IDC_PARITY_LIST, listTexts(ModelCatalogue::parities)},
      {IDC_STOP_BITS_LIST, listTexts(ModelCatalogue::stopBits)},
  };
  return lists;
}

}  // namespace

std::span<const TemplateList> templateListItems(int templateId) {
  if (templateId == IDD_DETAIL_SETTING) return detailSettingLists();
  return {};
}

}  // namespace spoolrig
