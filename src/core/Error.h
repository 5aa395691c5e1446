#pragma once

#include <exception>
#include <stdexcept>
#include <string>
#include <utility>

#include "core/AppLanguage.h"

namespace velk {

/// Base of every error this project throws; what() is the text for the log, in English.
class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;

    /// The sentence a person reads: in their language, naming a file at most once and
    /// saying what to do next where there is something to do. Types whose failures reach
    /// the user override it; the default is a general text pointing to the log.
    virtual std::string description(AppLanguage language) const;
};

/// An error whose sentence for a person is written where it is thrown, in both languages.
class DescribedError : public Error {
public:
    DescribedError(const std::string& logLine, std::string russian, std::string english)
        : Error(logLine), russian_(std::move(russian)), english_(std::move(english)) {}
    std::string description(AppLanguage language) const override {
        return text(language, russian_, english_);
    }

private:
    std::string russian_;
    std::string english_;
};

/// description() of our own errors, a text saying memory ran out for std::bad_alloc, the
/// general text for any other exception (whose what() is a library's English and no help
/// to the reader).
std::string userDescription(const std::exception& error, AppLanguage language);

} // namespace velk
