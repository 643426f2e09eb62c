#include "account.hpp"

namespace dorvane_account {

py::object get(py::handle mapping, const char* key, py::object fallback) {
    return call_method(mapping, N::get, py::str(key), std::move(fallback));
}

bool Reply::succeeded() const { return dorvane_http::reply_succeeded(reply_); }

py::object Reply::result() const { return get(reply_, "result", py::dict()); }

py::object Reply::message() const { return get(result(), "msg", py::str("")); }

namespace {

py::object account_id(py::handle account) {
    py::dict fields = plain_copy(account);
    return call_method(py::str("{broker_id}{account_id}"), N::format_map, fields);
}

py::object payload(const Reply& reply, const ReportKind& kind) {
    py::object result = reply.result();
    switch (kind.payload) {
    case Payload::Body:
        return get(result, "body", py::dict());
    case Payload::BodyRows: {
        py::list rows;
        rows.append(py::dict());
        return get(result, "body", rows);
    }
    case Payload::ProfitSum:
        return get(get(result, "profit_sums", py::dict()), "profit_sum", py::list());
    case Payload::Split: {
        py::object rows = get(get(result, kind.sums, py::dict()), kind.sum, py::list());
        return split_rows(rows, kind.detail_key);
    }
    }
    return py::none();
}

}  // namespace

void store(py::handle self, std::initializer_list<std::pair<const pyglue::Name*, py::handle>> attrs) {
    for (const auto& [name, value] : attrs) set_attr(self, *name, value);
}

void query_now(py::handle self) { call_method(self, N::update); }

void update_report(const ReportKind& kind, py::handle self) {
    py::object query = pyglue::global(kind.query);
    py::tuple args(kind.query_args.size());
    for (size_t i = 0; i < kind.query_args.size(); ++i) {
        const pyglue::Name* name = kind.query_args[i];
        if (name)
            args[i] = attr(self, *name);
        else
            args[i] = py::str("");
    }
    Reply reply(query(*args));

    set_attr(self, N::_status, py::bool_(reply.succeeded()));
    set_attr(self, N::_msg, reply.message());
    if (kind.account_id) set_attr(self, N::_accountid, account_id(attr(self, N::_account)));
    set_attr(self, N::_data, payload(reply, kind));
}

py::str text_form(const ReportKind& kind, py::handle self) {
    py::object name = attr(py::type::handle_of(self), N::__name__);
    switch (kind.text) {
    case TextForm::NameAccount:
        return py::str("{}({})").format(name, attr(self, N::_account));
    case TextForm::NameOnly:
        return py::str("{}").format(name);
    case TextForm::NameLineAccount:
        return py::str("{}\n{}").format(name, attr(self, N::_account));
    }
    return py::str("");
}

}  // namespace dorvane_account
