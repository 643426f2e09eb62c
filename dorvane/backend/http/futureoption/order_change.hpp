// Changing the price or the quantity of a placed futures or option order, and cancelling it.
// The public functions gather the request fields from the trade's contract and order and call the
// private senders by keyword; each sender builds its JSON body, posts it to its endpoint of the
// HTTP session client and returns the decoded reply unread.
#pragma once

#include "order_support.hpp"

namespace fo {

class OrderChange {
public:
    // cancel_futopt_order / update_futopt_order_price / update_futopt_order_qty
    static py::object cancel(py::handle trade, py::handle vexa_content, py::handle client);
    static py::object update_price(py::handle trade, py::handle vexa_content, py::handle client,
                                   py::handle price);
    static py::object update_qty(py::handle trade, py::handle vexa_content, py::handle client,
                                 py::handle qty);

    // The private senders.
    static py::object send_cancel(py::handle product_id, py::handle ordno, py::handle seqno,
                                  py::handle vexa_content, py::handle account, py::handle client);
    static py::object send_price(py::handle product_id, py::handle product_type, py::handle price,
                                 py::handle price_type, py::handle ord_type, py::handle ordno,
                                 py::handle seqno, py::handle vexa_content, py::handle account,
                                 py::handle client);
    static py::object send_qty(py::handle product_id, py::handle product_type, py::handle qty,
                               py::handle ordno, py::handle seqno, py::handle vexa_content,
                               py::handle account, py::handle client);

private:
    // token, ID, IP, broker_id, account: the head that every change body starts with.
    static Body head(py::handle client, py::handle account);
};

}  // namespace fo
