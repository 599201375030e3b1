#pragma once

#include "platform/SecureItemStore.h"

#include <QList>

#include <map>

// A store that answers what the test scripts (success unless `statuses` says
// otherwise; a successful copyMatching hands out `stored`) and records calls.
class FakeSecureItemStore final : public SecureItemStore {
public:
    enum class Operation { copyMatching, update, add, remove };
    struct Call {
        Operation operation;
        SecureItemQuery query;
        QByteArray data; // what update and add were given
    };

    std::map<Operation, int> statuses;
    QByteArray stored;
    QList<Call> calls;

    QList<Operation> operations() const {
        QList<Operation> result;
        for (const Call& call : calls)
            result << call.operation;
        return result;
    }

    int copyMatching(const SecureItemQuery& query, QByteArray* data) override {
        const int status = answer(Operation::copyMatching, query, {});
        if (status == success)
            *data = stored;
        return status;
    }
    int update(const SecureItemQuery& q, const QByteArray& d) override {
        return answer(Operation::update, q, d);
    }
    int add(const SecureItemQuery& q, const QByteArray& d) override {
        return answer(Operation::add, q, d);
    }
    int remove(const SecureItemQuery& q) override { return answer(Operation::remove, q, {}); }

private:
    int answer(Operation operation, const SecureItemQuery& query, const QByteArray& data) {
        calls.append({operation, query, data});
        const auto scripted = statuses.find(operation);
        return scripted == statuses.end() ? success : scripted->second;
    }
};
