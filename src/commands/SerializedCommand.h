#pragma once

#include <cstdint>

// A command in its wire form, as the relay queue holds it. Owns its body.
class SerializedCommand {
public:
    SerializedCommand(uint8_t* ownedBody, int32_t bodyLength) : body(ownedBody), length(bodyLength) {}
    ~SerializedCommand() { delete[] body; }

    SerializedCommand(const SerializedCommand&) = delete;
    SerializedCommand& operator=(const SerializedCommand&) = delete;

    uint8_t* GetBody() const { return body; }
    // Takes ownership of the new body and frees the old one.
    void SetBody(uint8_t* newBody) {
        if (newBody != body) delete[] body;
        body = newBody;
    }
    int32_t GetLength() const { return length; }
    void SetLength(int32_t newLength) { length = newLength; }

private:
    uint8_t* body;
    int32_t length;
};
