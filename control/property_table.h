// The control's properties, one row each, in the order the property bag and the stream keep
// them. Each includer defines ORV_PROPERTY(Name, Dispid, Kind, Default, Page, Field, ...)
// first; the file undefines it at the end.
//   Name     property name, property-bag key, and member of Properties
//   Kind     Text; Path (text normalised on put); Keys (a publisher key list, refused on put
//            with error 380 when unusable); Long; Bool; State and Record (put by reference,
//            refused at design time; Record holds the number 0 or an UPDATEINFO)
//   Default  value of a new control, also the value the bag may leave out
//   Page     the property page that shows it (None), Field its control in that page
//   ...      for a Long, optionally its lowest and highest value: a put outside them is
//            refused with error 380, a saved form holding one is refused as a whole
// Rows from PublisherKey on are saved only when not at their default, even when the container
// asks for every value. The stream keeps the twelve rows before it in their places, and the
// rows after it in format 3's list tagged by dispatch id, so a row added there needs no new
// format.
// Adding a property: a row here and its accessors in OrvaneControl.idl.
ORV_PROPERTY(RemoteHost, DISPID_ORV_REMOTEHOST, Text, "http://", General, IDC_TXT_REMOTEHOST)
ORV_PROPERTY(RemotePort, DISPID_ORV_REMOTEPORT, Long, 80, General, IDC_TXT_REMOTEPORT)
ORV_PROPERTY(RemotePath, DISPID_ORV_REMOTEPATH, Path, "/", General, IDC_TXT_REMOTEPATH)
ORV_PROPERTY(RemoteFile, DISPID_ORV_REMOTEFILE, Text, "update.orv", General, IDC_TXT_REMOTEFILE)
ORV_PROPERTY(ProxyHost, DISPID_ORV_PROXYHOST, Text, "proxy.", Proxy, IDC_TXT_PROXYHOST)
ORV_PROPERTY(ProxyPort, DISPID_ORV_PROXYPORT, Long, 8080, Proxy, IDC_TXT_PROXYPORT)
ORV_PROPERTY(Proxy, DISPID_ORV_PROXY, Bool, false, Proxy, IDC_CHK_PROXY)
ORV_PROPERTY(AuthPassword, DISPID_ORV_AUTHPASSWORD, Text, "", Authorization, IDC_TXT_AUTHPASSWORD)
ORV_PROPERTY(AuthUsername, DISPID_ORV_AUTHUSERNAME, Text, "", Authorization, IDC_TXT_AUTHUSERNAME)
ORV_PROPERTY(Authorization, DISPID_ORV_AUTHORIZATION, Bool, false, Authorization,
             IDC_CHK_AUTHORIZATION)
ORV_PROPERTY(UpdateState, DISPID_ORV_UPDATESTATE, State, 0, None, 0)
ORV_PROPERTY(UpdateInformation, DISPID_ORV_UPDATEINFORMATION, Record, 0, None, 0)
// _Orvane2. The stream keeps it when it is set (format 2) and in format 3.
ORV_PROPERTY(PublisherKey, DISPID_ORV_PUBLISHERKEY, Keys, "", None, 0)
// _Orvane3, in seconds where a time.
ORV_PROPERTY(ConnectTimeout, DISPID_ORV_CONNECTTIMEOUT, Long, 30, None, 0, 0, 3600)
ORV_PROPERTY(IdleTimeout, DISPID_ORV_IDLETIMEOUT, Long, 60, None, 0, 0, 3600)
ORV_PROPERTY(RetryCount, DISPID_ORV_RETRYCOUNT, Long, 3, None, 0, 0, 10)
// _Orvane3: 0 = Proxy/ProxyHost/ProxyPort, 1 = the user's system settings; the proxy's
// credentials, sent whenever a request goes through a proxy.
ORV_PROPERTY(ProxyMode, DISPID_ORV_PROXYMODE, Long, 0, None, 0, 0, 1)
ORV_PROPERTY(ProxyUsername, DISPID_ORV_PROXYUSERNAME, Text, "", None, 0)
ORV_PROPERTY(ProxyPassword, DISPID_ORV_PROXYPASSWORD, Text, "", None, 0)
// _Orvane3: whether a transfer follows the server's redirects.
ORV_PROPERTY(FollowRedirects, DISPID_ORV_FOLLOWREDIRECTS, Bool, false, None, 0)
// _Orvane3: with PublisherKey set, whether information without a signed expiry is refused.
ORV_PROPERTY(RequireExpiry, DISPID_ORV_REQUIREEXPIRY, Bool, false, None, 0)
// _Orvane3: the signers (";"-separated) one of whom must have signed a downloaded package
// with Authenticode; empty: no such check.
ORV_PROPERTY(PackageSigner, DISPID_ORV_PACKAGESIGNER, Text, "", None, 0)
// _Orvane3, for CheckUpdateWithDialog: the file whose version is the installed one ("" = the
// host's program), the parameters the package is started with, the download folder ("" = the
// user's temporary folder), and the hours between automatic checks (0 = none).
ORV_PROPERTY(InstalledFile, DISPID_ORV_INSTALLEDFILE, Text, "", None, 0)
ORV_PROPERTY(UpdateParameters, DISPID_ORV_UPDATEPARAMETERS, Text, "", None, 0)
ORV_PROPERTY(DownloadFolder, DISPID_ORV_DOWNLOADFOLDER, Text, "", None, 0)
ORV_PROPERTY(AutoCheckInterval, DISPID_ORV_AUTOCHECKINTERVAL, Long, 0, None, 0, 0, 8760)
// _Orvane4, for handing the package to the installer: the seconds the hand-off waits for the
// host to end (0 = until it ends), whether the package is started elevated (0 = as the shell
// decides, 1 = always, 2 = when the installed program's folder is not writable), and whether
// the dialog's "Install now" hands off and asks the host to close.
ORV_PROPERTY(HandOffTimeout, DISPID_ORV_HANDOFFTIMEOUT, Long, 60, None, 0, 0, 86400)
ORV_PROPERTY(ElevateUpdate, DISPID_ORV_ELEVATEUPDATE, Long, 0, None, 0, 0, 2)
ORV_PROPERTY(DialogHandOff, DISPID_ORV_DIALOGHANDOFF, Bool, false, None, 0)
// _Orvane4: the diagnostic log's file ("" = the user's LogFile setting, or none).
ORV_PROPERTY(LogFile, DISPID_ORV_LOGFILE, Text, "", None, 0)
#undef ORV_PROPERTY
