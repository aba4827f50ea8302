// Every key the agent reads or writes in the non-volatile store, with the
// default its readers pass to config_get_uint32_default, held once here so
// that no module spells a key name or a default of its own.
//
// Keys with no default ("none") are absent until set; string keys list the
// read buffer their readers use (always including the terminating NUL).
// The numbers are seconds unless the name says otherwise.
#pragma once

#include <cstddef>
#include <cstdint>

// --- Read buffers chosen by the readers (terminating NUL included) ---------

inline constexpr std::size_t kConfigNumberBufferSize = 16;     // config_get_uint32
inline constexpr std::size_t kConfigStringBufferSize = 128;    // config_get_string
inline constexpr std::size_t kConfigUrlBufferSize = 512;       // the four cloud URLs
inline constexpr std::size_t kConfigHandlerBufferSize = 1024;  // a handler line

// --- Cloud HTTP requests -----------------------------------------------------

// Whole-transfer time limit of every cloud HTTP request.
inline constexpr const char* kKeyHttpRequestTimeout = "zel_http_request_timeout";
inline constexpr std::uint32_t kDefaultHttpRequestTimeout = 60;
// Connection-phase time limit of every cloud HTTP request.
inline constexpr const char* kKeyHttpConnectTimeout = "zel_http_connect_timeout";
inline constexpr std::uint32_t kDefaultHttpConnectTimeout = 300;

// --- Delays loaded into the agent context ------------------------------------

// Registration retries of the start-up driver.
inline constexpr const char* kKeyRegisterDelay = "zel_register_delay";
inline constexpr std::uint32_t kDefaultRegisterDelay = 60;
// Loaded into the agent context; read by nothing further.
inline constexpr const char* kKeyDiscoveryDelay = "zel_discovery_delay";
inline constexpr std::uint32_t kDefaultDiscoveryDelay = 60;
// Wait after a failed claim-status request before the next one.
inline constexpr const char* kKeyClaimDelay = "zel_claim_delay";
inline constexpr std::uint32_t kDefaultClaimDelay = 60;
// Default length of the discovery window when a discovery gives no time.
inline constexpr const char* kKeyClaimCheck = "zel_claim_check";
inline constexpr std::uint32_t kDefaultClaimCheck = 3600;
// Wait after a failed advisor request.
inline constexpr const char* kKeyAdvisorDelay = "zel_advisor_delay";
inline constexpr std::uint32_t kDefaultAdvisorDelay = 60;
// Wait between zelbroker connection attempts.
inline constexpr const char* kKeyZelbrokerDelay = "zel_zelbroker_delay";
inline constexpr std::uint32_t kDefaultZelbrokerDelay = 60;
// Offered to the start-up driver through their own accessors.
inline constexpr const char* kKeyRegisterAggressiveTime = "zel_register_aggressive_time";
inline constexpr std::uint32_t kDefaultRegisterAggressiveTime = 120;
inline constexpr const char* kKeyRegisterAggressiveDelay = "zel_register_aggressive_delay";
inline constexpr std::uint32_t kDefaultRegisterAggressiveDelay = 20;

// --- Cloud URLs (required, no default; read into kConfigUrlBufferSize) -------

// Registration URL, used as stored (up to 511 characters).
inline constexpr const char* kKeyRegisterUrl = "zel_register_url";
// Bases of the claim-status, discovery and advisor URLs (up to 508
// characters each, so that the version suffix still fits the buffer).
inline constexpr const char* kKeyClaimedUrl = "zel_claimed_url";
inline constexpr const char* kKeyDiscoveryUrl = "zel_discovery_url";
inline constexpr const char* kKeyAdvisorUrl = "zel_advisor_url";
inline constexpr std::size_t kConfigUrlMaxLength = 511;
inline constexpr std::size_t kConfigUrlBaseMaxLength = 508;
inline constexpr const char* kClaimedUrlSuffix = "/v2";
inline constexpr const char* kDiscoveryUrlSuffix = "/v3";
inline constexpr const char* kAdvisorUrlSuffix = "/v2";

// --- Identity issued by the registration reply (up to 127 characters) -------

inline constexpr const char* kKeyAgentId = "zel_agent_id";               // "deviceId"
inline constexpr const char* kKeyAgentClaimCode = "zel_agent_claim_code";  // "claimCode"

// --- Switches ------------------------------------------------------------------

// 1 enables the discovery mechanism.
inline constexpr const char* kKeyUseDiscovery = "zel_use_discovery";
inline constexpr std::uint32_t kDefaultUseDiscovery = 0;
// 1 keeps the zelbroker link running whether or not the device is claimed.
inline constexpr const char* kKeyForceConnection = "zel_force_connection";
inline constexpr std::uint32_t kDefaultForceConnection = 0;
// Handler name under which zelbroker messages are control requests for the
// agent itself (up to 127 characters, no default).
inline constexpr const char* kKeyAgentHandlerName = "zel_agent_handler_name";

// --- Broker link ---------------------------------------------------------------

// Whether a direct zelbroker link uses TLS.
inline constexpr const char* kKeyBrokerSsl = "zel_broker_ssl";
inline constexpr std::uint32_t kDefaultBrokerSsl = 1;
// zelbroker port when the advisor's reply gives none.
inline constexpr const char* kKeyBrokerPort = "zel_broker_port";
inline constexpr std::uint32_t kDefaultBrokerPort = 443;

// --- Proxy -------------------------------------------------------------------------

// Proxy mode: 0 none, 1 to 4 the proxy kinds of the HTTP client and tunnels.
inline constexpr const char* kKeyZelcloudUseProxy = "zel_zelcloud_use_proxy";
inline constexpr std::uint32_t kDefaultZelcloudUseProxy = 0;
// Proxy host, port (decimal text), user name and password (strings up to
// 127 characters, no default; user name and password only used together).
inline constexpr const char* kKeyZelcloudProxyHostname = "zel_zelcloud_proxy_hostname";
inline constexpr const char* kKeyZelcloudProxyPort = "zel_zelcloud_proxy_port";
inline constexpr const char* kKeyZelcloudProxyUsername = "zel_zelcloud_proxy_username";
inline constexpr const char* kKeyZelcloudProxyPassword = "zel_zelcloud_proxy_password";

// --- Local handlers ------------------------------------------------------------------

// "zel_handler_" followed by a handler name: how to reach that local handler
// (a handler line of up to 1023 characters, read into kConfigHandlerBufferSize).
inline constexpr const char* kKeyHandlerPrefix = "zel_handler_";

// --- Agent state kept across restarts ------------------------------------------------

// Registered and claimed flags, "1" or "0", written on every change.
inline constexpr const char* kKeyAgentRegistered = "zel_agent_registered";
inline constexpr std::uint32_t kDefaultAgentRegistered = 0;
inline constexpr const char* kKeyAgentClaimed = "zel_agent_claimed";
inline constexpr std::uint32_t kDefaultAgentClaimed = 0;
// Written only, with every state report: the agent's pid (decimal text) and
// whether the zelbroker link is up ("1" or "0").
inline constexpr const char* kKeyAgentPid = "zel_agent_pid";
inline constexpr const char* kKeyAgentConnected = "zel_agent_connected";

// Status mirrors ("true" or "false"), written only while the agent state's
// mirror switch is on. The only keys without the "zel_" prefix.
inline constexpr const char* kKeyStatusRegistered = "Registered";
inline constexpr const char* kKeyStatusClaimed = "Claimed";
inline constexpr const char* kKeyStatusConnected = "Connected";
inline constexpr const char* kStatusTrue = "true";
inline constexpr const char* kStatusFalse = "false";
inline constexpr const char* kFlagOn = "1";
inline constexpr const char* kFlagOff = "0";

// Every key of the agent begins with this prefix (the status mirrors aside).
inline constexpr const char* kKeyPrefix = "zel_";

// Names the agent's configuration file. No module reads it; it is offered to
// the start-up driver.
inline constexpr const char* kAgentConfigFilePath = "/etc/zelagent.conf";
