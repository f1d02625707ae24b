package rux;

/**
 * A credential receiver that refuses every credential by throwing from setCredential, so a
 * program can see how a Java exception raised there is reported.
 */
public class RefusingReceiver {
  private int attempts;

  public RefusingReceiver() {}

  public void setCredential(String domain, String user, String password) {
    attempts++;
    throw new IllegalStateException("credentials refused for user " + user);
  }

  /** How often setCredential was called, as text. */
  public String getAttempts() {
    return Integer.toString(attempts);
  }
}
