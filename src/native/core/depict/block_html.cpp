#include "core/depict/block_html.hpp"

#include "core/record.hpp"

namespace molvane::depict {

std::string block_html(core::Block& block, const Options& options) {
    const TextBytes bytes = block.is_bytes ? TextBytes::Latin1 : TextBytes::Utf8;
    SvgText out(bytes);
    out.raw("<div class=\"molvane-block\" style=\"display:flex;gap:1em;align-items:flex-start\">");
    out.raw("<div>").raw(depict_svg(block.mdl(), bytes, options)).raw("</div>");
    out.raw("<table><tr><th style=\"text-align:left\">title</th><td style=\"text-align:left\">")
        .text(block.title())
        .raw("</td></tr>");
    const std::string_view sd = block.sd_data();
    core::RecordScanner scanner(sd, 0, core::UnnamedHeader::Skip);
    core::RecordSpan record;
    std::string scratch;
    while (scanner.next(record)) {
        if (!record.named) continue;
        out.raw("<tr><th style=\"text-align:left\">")
            .text(record.name(sd))
            .raw("</th><td style=\"text-align:left;white-space:pre-wrap\">")
            .text(core::record_value(sd, record, scratch))
            .raw("</td></tr>");
    }
    out.raw("</table></div>");
    return std::move(out.str());
}

}  // namespace molvane::depict
